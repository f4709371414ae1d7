# Brings the other platform's shipped library up to date in its own build
# tree: configures that tree if it never was, then lets its build decide what
# is stale. Run with -P from the source folder, so the presets resolve.
#   QV_SIBLING_PRESET     linux or windows
#   QV_SIBLING_BUILD_DIR  the tree to build in
#   QV_PRESET_BUILD_DIR   where that preset puts its tree by itself

if(QV_SIBLING_BUILD_DIR STREQUAL QV_PRESET_BUILD_DIR)
  set(configure_args --preset ${QV_SIBLING_PRESET})
  set(build_args --build --preset ${QV_SIBLING_PRESET})
else()
  set(configure_args --preset ${QV_SIBLING_PRESET} -B ${QV_SIBLING_BUILD_DIR})
  set(build_args --build ${QV_SIBLING_BUILD_DIR})
endif()

if(NOT EXISTS "${QV_SIBLING_BUILD_DIR}/CMakeCache.txt")
  message(STATUS "Configuring the ${QV_SIBLING_PRESET} library's build tree ${QV_SIBLING_BUILD_DIR}")
  execute_process(COMMAND ${CMAKE_COMMAND} ${configure_args} COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} ${build_args} --target quorvane_voice COMMAND_ERROR_IS_FATAL ANY)
