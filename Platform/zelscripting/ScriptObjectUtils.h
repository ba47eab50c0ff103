#pragma once

#include <functional>
#include <string_view>

#include "zelscripting/Export.h"
#include "zelscripting/ScriptObject.h"

namespace zelscripting {

namespace utils {

// A new object of the script class `className` in the context `contextHandle`, on which `init` runs (when given)
// before it is returned. Throws ScriptException kUnknownClass when no class of that name is defined.
ZELSCRIPTING_EXPORT IntrusivePtr<ScriptObject> CreateScriptObject(
    int contextHandle, std::string_view className, std::function<void(IntrusivePtr<ScriptObject> const&)> const& init);

}  // namespace utils

namespace utility {

// Turns a native value into a script object in a context; each module specialises it for the native types it
// hands to scripts, as
//   template <> struct TransformObjectIntoScriptingObject<X> {
//     IntrusivePtr<ScriptObject> operator()(X const& value, int contextHandle) const;
//   };
template <class T>
struct TransformObjectIntoScriptingObject;

}  // namespace utility

}  // namespace zelscripting
