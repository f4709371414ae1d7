# The plugin's own code: the platform layer, the subsystems, and the two
# flavours of the library (shipped and development).

# The web service's host, fixed into both libraries; the shipped one has no
# way to reach another. The default can never resolve.
set(QV_WEB_HOST "voice.quorvane.invalid" CACHE STRING "Host name of the community web service (HTTPS, port 443)")
add_compile_definitions(QV_WEB_HOST="${QV_WEB_HOST}")

# build_info.h: the version and this platform's release names, for the
# plugin's code and for the tests that check what it shows.
if(WIN32)
  set(QV_RELEASE_OS windows)
  set(QV_RELEASE_FILE_EXTENSION dll)
  set(QV_RELEASE_LIBRARY ${QV_BUNDLE_WINDOWS_LIBRARY})
else()
  set(QV_RELEASE_OS linux)
  set(QV_RELEASE_FILE_EXTENSION so)
  set(QV_RELEASE_LIBRARY ${QV_BUNDLE_LINUX_LIBRARY})
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/build_info.h.in ${PROJECT_BINARY_DIR}/generated/build_info.h @ONLY)
add_library(qv_build_info INTERFACE)
target_include_directories(qv_build_info INTERFACE ${PROJECT_BINARY_DIR}/generated)

file(GLOB QV_PLATFORM_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/platform/*.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/${QV_PLATFORM}/*.cpp)
add_library(qv_platform STATIC ${QV_PLATFORM_SOURCES})
target_compile_options(qv_platform PRIVATE ${QV_WARNINGS} -fno-exceptions -fno-rtti -fvisibility=hidden)
if(WIN32)
  target_link_libraries(qv_platform PUBLIC ws2_32 advapi32)
  # The HTTPS client.
  target_link_libraries(qv_platform PUBLIC winhttp)
  # The browser opener: ShellExecuteA, with COM set up around it.
  target_link_libraries(qv_platform PUBLIC shell32 ole32)
  target_compile_definitions(qv_platform PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  target_link_libraries(qv_platform PUBLIC pthread dl)
  # The HTTPS client.
  find_package(CURL REQUIRED)
  target_link_libraries(qv_platform PUBLIC CURL::libcurl)
endif()

# The floors, each calling only into those below it: core (state, lock,
# configuration, log, text) under the subsystems, and the plugin's face
# (exports, lifecycle, server events, flavours) on top.
file(GLOB QV_CORE_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/core/*.cpp
  ${PROJECT_SOURCE_DIR}/src/falloff/*.cpp
  ${PROJECT_SOURCE_DIR}/src/audio/*.cpp
  ${PROJECT_SOURCE_DIR}/src/identity/*.cpp
  ${PROJECT_SOURCE_DIR}/src/update/*.cpp)
add_library(qv_core STATIC ${QV_CORE_SOURCES})
target_include_directories(qv_core PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qv_core PUBLIC qv_build_info)
target_compile_options(qv_core PRIVATE ${QV_WARNINGS} -fno-exceptions -fno-rtti -fvisibility=hidden)
target_link_libraries(qv_core PUBLIC qv_platform)

file(GLOB QV_FACE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/plugin/*.cpp)
list(FILTER QV_FACE_SOURCES EXCLUDE REGEX "/(plugin_interface|flavour_shipped|flavour_dev)\\.cpp$")
add_library(qv_plugin STATIC ${QV_FACE_SOURCES})
target_compile_options(qv_plugin PRIVATE ${QV_WARNINGS} -fno-exceptions -fno-rtti -fvisibility=hidden)
target_link_libraries(qv_plugin PUBLIC qv_core)

foreach(flavour shipped dev)
  # Object libraries: their code lands in whatever links them, ahead of the
  # archives that call into it.
  add_library(qv_flavour_${flavour} OBJECT ${PROJECT_SOURCE_DIR}/src/plugin/flavour_${flavour}.cpp)
  target_compile_options(qv_flavour_${flavour} PRIVATE ${QV_WARNINGS} -fno-exceptions -fno-rtti -fvisibility=hidden)
  target_link_libraries(qv_flavour_${flavour} PUBLIC qv_core)
endforeach()

# quorvane_voice is what ships; quorvane_voice_dev adds the test settings and
# is what the tests and the demo load.
function(qv_plugin_library name flavour)
  add_library(${name} SHARED ${PROJECT_SOURCE_DIR}/src/plugin/plugin_interface.cpp)
  target_compile_options(${name} PRIVATE ${QV_WARNINGS} -fno-exceptions -fno-rtti -fvisibility=hidden)
  target_link_libraries(${name} PRIVATE qv_flavour_${flavour} qv_plugin qv_core qv_platform)
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_link_options(${name} PRIVATE -Wl,--exclude-libs,ALL)
  else()
    target_link_options(${name} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/exports.map
      # Never unmapped: a worker that outlives dlclose keeps running.
      -Wl,-z,nodelete
      -Wl,--exclude-libs,ALL)
    if(NOT QV_SANITIZE)
      target_link_options(${name} PRIVATE -Wl,-z,defs)
    endif()
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/exports.map)
  endif()
endfunction()

qv_plugin_library(quorvane_voice shipped)
qv_plugin_library(quorvane_voice_dev dev)
