# How quillan.node is built, shared by the tree's own build (Tools/Node/CMakeLists.txt) and the npm package's
# install step (Tools/Node/Package). NODE_API_HEADERS and NODE_ADDON_API are the folders of the npm packages
# node-api-headers (its include folder) and node-addon-api.
function(quillan_node_addon target)
  cmake_parse_arguments(ARG "" "NODE_API_HEADERS;NODE_ADDON_API;OUTPUT_DIRECTORY" "" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/*.cpp)
  add_library(${target} MODULE ${sources})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME quillan
    PREFIX ""
    SUFFIX ".node"
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  target_include_directories(${target} SYSTEM PRIVATE ${ARG_NODE_API_HEADERS} ${ARG_NODE_ADDON_API})
  target_compile_definitions(${target} PRIVATE
    NAPI_VERSION=8
    NODE_ADDON_API_CPP_EXCEPTIONS
    # Throwing into an environment that is shutting down is dropped instead of aborting the process.
    NODE_API_SWALLOW_UNTHROWABLE_EXCEPTIONS
    NODE_ADDON_API_DISABLE_DEPRECATED)
  target_compile_options(${target} PRIVATE -fexceptions)
  # The napi_* functions are resolved against the node executable when the module is loaded.
  target_link_options(${target} PRIVATE -Wl,-z,undefs)
endfunction()
