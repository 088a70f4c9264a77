# pugixml and expat compiled from their Debian source packages, unpacked by
# scripts/windows.sh into QX_THIRD_PARTY_DIR, for builds that have no system
# copy of them: the Windows DLLs and the 32-bit x86 test program.
set(QX_THIRD_PARTY_DIR "" CACHE PATH "Directory holding the unpacked pugixml and expat sources")
if(NOT EXISTS "${QX_THIRD_PARTY_DIR}/pugixml/src/pugixml.cpp" OR
   NOT EXISTS "${QX_THIRD_PARTY_DIR}/expat/expat/CMakeLists.txt")
  message(FATAL_ERROR "QX_THIRD_PARTY_DIR must hold pugixml/ and expat/ (./run windows fetches them)")
endif()

add_library(pugixml STATIC ${QX_THIRD_PARTY_DIR}/pugixml/src/pugixml.cpp)
target_include_directories(pugixml SYSTEM PUBLIC ${QX_THIRD_PARTY_DIR}/pugixml/src)
target_compile_options(pugixml PRIVATE -w)
add_library(pugixml::pugixml ALIAS pugixml)

set(EXPAT_BUILD_TOOLS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_EXAMPLES OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_TESTS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_DOCS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_FUZZERS OFF CACHE BOOL "" FORCE)
set(EXPAT_BUILD_PKGCONFIG OFF CACHE BOOL "" FORCE)
set(EXPAT_SHARED_LIBS OFF CACHE BOOL "" FORCE)
set(EXPAT_ENABLE_INSTALL OFF CACHE BOOL "" FORCE)
add_subdirectory(${QX_THIRD_PARTY_DIR}/expat/expat ${CMAKE_BINARY_DIR}/expat EXCLUDE_FROM_ALL)
target_compile_options(expat PRIVATE -w)
# Debian's patches test "XML_DTD == 1", as its own build defines it; expat's
# CMake defines the macro empty.
file(READ ${CMAKE_BINARY_DIR}/expat/expat_config.h QX_EXPAT_CONFIG)
string(REPLACE "#define XML_DTD\n" "#define XML_DTD 1\n" QX_EXPAT_CONFIG "${QX_EXPAT_CONFIG}")
string(REPLACE "#define XML_GE\n" "#define XML_GE 1\n" QX_EXPAT_CONFIG "${QX_EXPAT_CONFIG}")
file(WRITE ${CMAKE_BINARY_DIR}/expat/expat_config.h "${QX_EXPAT_CONFIG}")
target_compile_definitions(expat PUBLIC XML_STATIC)
