#include "zelscripting/ScriptObjectUtils.h"

#include <string>

#include "zelscripting/ScriptException.h"
#include "zelscripting/ScriptObjectDefinition.h"

namespace zelscripting::utils {

IntrusivePtr<ScriptObject> CreateScriptObject(int contextHandle, std::string_view className,
                                              std::function<void(IntrusivePtr<ScriptObject> const&)> const& init) {
  auto const definition = ScriptDefinitions::GetInstance().FindObjectDefinition(className);
  if (!definition) {
    throw ScriptException(ScriptExceptionType::kUnknownClass,
                          "No script class \"" + std::string(className) + "\" is defined.");
  }
  IntrusivePtr<ScriptObject> object = definition->CreateInstance(contextHandle);
  if (init) init(object);
  return object;
}

}  // namespace zelscripting::utils
