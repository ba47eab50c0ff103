#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zelcore/Guid.h"
#include "zelscripting/Export.h"
#include "zelscripting/ScriptDefinitions.h"
#include "zelscripting/ScriptObject.h"
#include "zelscripting/ScriptValue.h"

namespace zelscripting {

// The script class "Guid" in namespace "Quillan": `new Quillan.Guid("<guid text>")` (ParameterErrorException when
// the argument is not a GUID text, braces and uppercase allowed), and `toString()`, the lowercase text. Other
// script methods take it wherever they want a GUID (ScriptCastInterface<Guid>).
//
// Holds its value from construction on; immutable afterwards, so thread-safe.
class ZELSCRIPTING_EXPORT GuidScriptObject : public ScriptObject, public ScriptCastInterface<zelcore::utility::Guid> {
 public:
  static constexpr char kClassName[] = "Guid";

  GuidScriptObject();
  ~GuidScriptObject() override;

  // A new "Guid" object holding `value` in the context `contextHandle`.
  static IntrusivePtr<ScriptObject> Create(zelcore::utility::Guid const& value, int contextHandle);

  std::string ToString() const;

  // Defines the class; run once by its initiator.
  static void DefineScriptObject(ScriptDefinitions& definitions);

  // ScriptObjectBase: two GUID objects are the same for scripts when they hold the same GUID.
  bool IsSameObject(ScriptObjectBase const& other) const override;
  std::uint64_t GetIdentityHash() const override;

  // ScriptCastInterface: false for an object that was never given a value.
  bool TryGetValue(zelcore::utility::Guid& out) const override;

 private:
  // The constructor hook: takes the GUID text of args[0].
  static void Construct(IntrusivePtr<ScriptObject> const& object, std::vector<ScriptValue> const& args);

  zelcore::utility::Guid value_;
  bool hasValue_ = false;
};

}  // namespace zelscripting
