# The Windows build: the same sources as the Linux one, with each platform
# service's Windows implementation, linked statically into a stdcall DLL that
# imports only system DLLs. pugixml and expat are compiled from their Debian
# source packages, unpacked by ./run windows into QX_THIRD_PARTY_DIR.
# Everything static: the DLL and the programs need no mingw runtime DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)
add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
include(${CMAKE_SOURCE_DIR}/cmake/DebianSources.cmake)

# The library's code: every system-neutral source, the Windows side of the
# platform services and of the application base's windows.
file(GLOB QX_CORE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/*.cpp
  ${CMAKE_SOURCE_DIR}/platform/win/*.cpp
  ${CMAKE_SOURCE_DIR}/log/*.cpp
  ${CMAKE_SOURCE_DIR}/base/*.cpp
  ${CMAKE_SOURCE_DIR}/base/win/*.cpp
  ${CMAKE_SOURCE_DIR}/rtserver/*.cpp
  ${CMAKE_SOURCE_DIR}/manager/*.cpp)
list(FILTER QX_CORE_SOURCES EXCLUDE REGEX "/base/uQX_Base_(X11|Wait|MessageBox)\\.cpp$")
add_library(qxcore STATIC ${QX_CORE_SOURCES})
target_include_directories(qxcore PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(qxcore PUBLIC pugixml::pugixml expat winhttp crypt32 bcrypt oleaut32 user32
  gdi32 Threads::Threads)
target_compile_definitions(qxcore PUBLIC QX_VERSION="${PROJECT_VERSION}")

# The DLL: the four entry points, stdcall, exported undecorated at their
# ordinals by the module-definition file and nothing else; a version resource.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QX_STDCALL_24 "@24")
  set(QX_STDCALL_12 "@12")
  set(QX_STDCALL_8 "@8")
endif()
configure_file(${CMAKE_SOURCE_DIR}/host/win/QXRS_VURUV90_20.def.in
  ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.def @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/host/win/QXRS_VURUV90_20.rc.in
  ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.rc @ONLY)
file(GLOB QX_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/host/*.cpp
  ${CMAKE_SOURCE_DIR}/host/win/*.cpp)
list(REMOVE_ITEM QX_HOST_SOURCES ${CMAKE_SOURCE_DIR}/host/QXRS_VURUV90_20_Strings.cpp)
add_library(QXRS_VURUV90_20 SHARED ${QX_HOST_SOURCES} ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.def
  ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.rc)
target_link_libraries(QXRS_VURUV90_20 PRIVATE qxcore)
set_target_properties(QXRS_VURUV90_20 PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_link_options(QXRS_VURUV90_20 PRIVATE -Wl,--kill-at)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The linker's import library would drop the decoration as well; dlltool's
  # keeps the decorated symbols a C host refers to, bound to the plain names.
  string(REGEX REPLACE "g\\+\\+-posix$" "dlltool" QX_DLLTOOL "${CMAKE_CXX_COMPILER}")
  add_custom_command(TARGET QXRS_VURUV90_20 POST_BUILD
    COMMAND ${QX_DLLTOOL} --kill-at -d ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.def
      -D QXRS_VURUV90_20.dll -l $<TARGET_LINKER_FILE:QXRS_VURUV90_20>
    VERBATIM)
endif()

# The C host of the examples, linked with the DLL's import library.
add_executable(host_example ${CMAKE_SOURCE_DIR}/examples/host_example.c)
target_include_directories(host_example PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(host_example PRIVATE QXRS_VURUV90_20 oleaut32)
set_target_properties(host_example PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The verifier, the status report and qxtill, the host program that loads the
# DLL as a Windows host does, for checking a till and its store on Windows too.
file(GLOB QX_STORE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/store/*.cpp)
add_library(qxstore STATIC ${QX_STORE_SOURCES})
target_link_libraries(qxstore PUBLIC qxcore)
file(GLOB QX_VERIFY_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/qxtill/verify*.cpp
  ${CMAKE_SOURCE_DIR}/tools/qxtill/status*.cpp)
add_library(qxverify STATIC ${QX_VERIFY_SOURCES})
target_link_libraries(qxverify PUBLIC qxstore)
file(GLOB QX_QXTILL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/qxtill/*.cpp
  ${CMAKE_SOURCE_DIR}/tools/qxtill/win/*.cpp)
list(FILTER QX_QXTILL_SOURCES EXCLUDE REGEX ".*/(verify|status)[^/]*\\.cpp$")
add_executable(qxtill ${QX_QXTILL_SOURCES})
target_link_libraries(qxtill PRIVATE qxverify oleaut32)
set_target_properties(qxtill PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

if(QX_BUILD_TESTS AND CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  enable_testing()
  include(${CMAKE_SOURCE_DIR}/cmake/WindowsTests.cmake OPTIONAL)
endif()
