# The 32-bit x86 test program: the arithmetic, amount and receipt suites built
# with x87 code generation (cmake/linux-i686.cmake), so that the figures of the
# x86 DLL are checked by running the same code on the same kind of FPU. It
# links the library's system-neutral code with its POSIX services, less the
# two that need libraries the machine has no 32-bit copies of: the digest is
# libmd's SHA-256 and there is no HTTP transport (tests/x86/).
include(${CMAKE_SOURCE_DIR}/cmake/DebianSources.cmake)
if(NOT EXISTS "${QX_THIRD_PARTY_DIR}/libmd/src/sha2.c")
  message(FATAL_ERROR "QX_THIRD_PARTY_DIR must hold libmd/ (./run windows fetches it)")
endif()

# libmd's SHA-2 alone; its configuration header has nothing the file needs on
# a little-endian machine.
file(WRITE ${CMAKE_BINARY_DIR}/libmd/config.h "")
add_library(md STATIC ${QX_THIRD_PARTY_DIR}/libmd/src/sha2.c)
target_include_directories(md PRIVATE ${CMAKE_BINARY_DIR}/libmd ${QX_THIRD_PARTY_DIR}/libmd/src)
target_include_directories(md SYSTEM PUBLIC ${QX_THIRD_PARTY_DIR}/libmd/include)
target_compile_options(md PRIVATE -w)

# The platform services, the server client and the receipts; of the layers
# above them only what the suites use.
file(GLOB QX_CORE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/*.cpp
  ${CMAKE_SOURCE_DIR}/platform/posix/*.cpp
  ${CMAKE_SOURCE_DIR}/rtserver/*.cpp
  ${CMAKE_SOURCE_DIR}/base/uQX_Base_Format.cpp
  ${CMAKE_SOURCE_DIR}/manager/uRTServerManager_Counters.cpp)
list(FILTER QX_CORE_SOURCES EXCLUDE REGEX "/platform/posix/(http|digest)\\.cpp$")
add_library(qxcore STATIC ${QX_CORE_SOURCES} ${CMAKE_SOURCE_DIR}/tests/x86/digest.cpp
  ${CMAKE_SOURCE_DIR}/tests/x86/transport.cpp)
target_include_directories(qxcore PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(qxcore PUBLIC pugixml::pugixml expat md Threads::Threads ${CMAKE_DL_LIBS})
target_compile_definitions(qxcore PUBLIC QX_VERSION="${PROJECT_VERSION}")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# GCC 12 reports a false -Wrestrict in GoogleTest itself.
target_compile_options(gtest PRIVATE -w)
set(QX_X86_SUITES
  base/format_test.cpp manager/counters_test.cpp
  platform/currency_test.cpp platform/datetime_test.cpp platform/digest_test.cpp
  platform/strings_test.cpp receipt/receipt_convert_test.cpp receipt/receipt_model_test.cpp)
list(TRANSFORM QX_X86_SUITES PREPEND ${CMAKE_SOURCE_DIR}/tests/)
add_executable(qx_x86_tests ${QX_X86_SUITES})
target_include_directories(qx_x86_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(qx_x86_tests PRIVATE QX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  QX_BINARY_DIR="${CMAKE_BINARY_DIR}")
target_link_libraries(qx_x86_tests PRIVATE qxcore gtest gmock gtest_main)
set_target_properties(qx_x86_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
