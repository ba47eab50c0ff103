# What `cmake --install` puts in the prefix, in the GNUInstallDirs layout: the headers (include/quillan/...) and
# versioned shared libraries an analyzer module builds against, the example analyzer module, the command-line tool,
# the script binding, a CMake package and a pkg-config file, so that an analyzer module outside this tree needs only
#   find_package(Quillan REQUIRED)
#   target_link_libraries(my_analyzers PRIVATE Quillan::quillan)
# or `pkg-config --cflags --libs quillan`. Included from the top-level CMakeLists.txt after every target exists.
include(CMakePackageConfigHelpers)

set(QUILLAN_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillan)

# Libraries below libquillan first; the export set fails to generate if one that libquillan links is missing here.
set(quillan_installed_libraries
  zelcore zelsqlite zelbe zelmf zelml zelappsupport zelscripting quillan_foundation quillan quillan_example_analyzers
  quillan_example_media quillan_pictures quillan_export)
foreach(library IN LISTS quillan_installed_libraries)
  if(NOT TARGET ${library})
    continue()
  endif()
  get_target_property(type ${library} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    # Installed libraries find each other beside themselves. libquillan.so.0 is the SONAME: 0.x releases may break
    # binary compatibility between minor versions, so the file carries the full version.
    set_target_properties(${library} PROPERTIES
      INSTALL_RPATH "$ORIGIN"
      BUILD_WITH_INSTALL_RPATH ON
      VERSION ${PROJECT_VERSION}
      SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  install(TARGETS ${library} EXPORT QuillanTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# The installed programs carry the same relative RPATH in the build tree, where bin/ and the library folder sit as in
# the prefix. A build RPATH that install rewrites would be padded with empty entries to the length of the installed
# one, and an empty entry has the loader look in the working folder: whatever folder the tool is run in.
if(TARGET quillan_cli)
  set_target_properties(quillan_cli PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}"
    BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS quillan_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The script binding sits beside the libraries it loads: require('<prefix>/lib/quillan.node').
if(TARGET quillan_node)
  set_target_properties(quillan_node PROPERTIES INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)
  install(TARGETS quillan_node LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# Headers keep the layout they are included by ("zelcore/Guid.h", "Host/AnalyzerHost.h"), under include/quillan. A
# folder's Detail/ headers are private, except those that an installed header includes, followed to their own
# includes in turn. Generated headers (the sidecar schema accessors) are private to the library and never installed.
function(quillan_install_headers)
  set(headers)
  foreach(root IN ITEMS Platform Src)
    file(GLOB public RELATIVE ${PROJECT_SOURCE_DIR}/${root} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${root}/*/*.h)
    foreach(header IN LISTS public)
      list(APPEND headers ${root}/${header})
    endforeach()
  endforeach()
  # The example module's public header; its Detail/ stays private.
  list(APPEND headers Tools/Analyzers/ExampleAnalyzers.h)
  # The pictures library's public headers (the tool draws with it); its Detail/ stays private.
  file(GLOB pictures RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/Tools/Pictures/*.h)
  list(APPEND headers ${pictures})
  # The export library's (the tool and the script binding write documents with it).
  file(GLOB exporters RELATIVE ${PROJECT_SOURCE_DIR} CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/Tools/Export/*.h)
  list(APPEND headers ${exporters})

  set(pending ${headers})
  while(pending)
    list(POP_FRONT pending header)
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} includes REGEX "^#include \"[^\"]+/Detail/[^\"]+\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      foreach(root IN ITEMS Platform Src)
        if(EXISTS ${PROJECT_SOURCE_DIR}/${root}/${included} AND NOT ${root}/${included} IN_LIST headers)
          list(APPEND headers ${root}/${included})
          list(APPEND pending ${root}/${included})
        endif()
      endforeach()
    endforeach()
  endwhile()

  foreach(header IN LISTS headers)
    # Platform/zelcore/Guid.h -> include/quillan/zelcore/Guid.h
    get_filename_component(folder ${header} DIRECTORY)
    string(REGEX REPLACE "^(Platform|Src|Tools)/" "" folder ${folder})
    install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${QUILLAN_INSTALL_INCLUDEDIR}/${folder})
  endforeach()
endfunction()
quillan_install_headers()

install(EXPORT QuillanTargets NAMESPACE Quillan:: DESTINATION ${QUILLAN_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QuillanConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuillanConfig.cmake
  INSTALL_DESTINATION ${QUILLAN_INSTALL_CMAKEDIR})
# 0.x releases break compatibility between minor versions.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillanConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillanConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/QuillanConfigVersion.cmake
  DESTINATION ${QUILLAN_INSTALL_CMAKEDIR})

# quillan.pc, for builds without CMake. Its prefix is the one installed to, which `cmake --install --prefix` may
# choose after configuring, so the file is made at install time. Every library a consumer's code calls into is
# listed: with --as-needed, the libraries that libquillan links are not enough by themselves.
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUILLAN_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUILLAN_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(QUILLAN_PC_PREFIX "@QUILLAN_PC_PREFIX@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/quillan.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quillan.pc.in @ONLY)
install(CODE "
  set(QUILLAN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_CURRENT_BINARY_DIR}/quillan.pc.in\" \"${CMAKE_CURRENT_BINARY_DIR}/quillan.pc\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillan.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The script binding is also an npm package (package.json); both carry one version.
file(READ ${PROJECT_SOURCE_DIR}/package.json quillan_package_json)
string(JSON quillan_package_version GET "${quillan_package_json}" version)
if(NOT quillan_package_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "package.json says version ${quillan_package_version}, the project ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/package.json)
