// The translation unit that the test programs' precompiled headers are built from; it has nothing of its own.
