# Tests of the Windows build, run by ctest: the exports of both DLLs with
# objdump, and under Wine (x86-64) a host program that loads the DLL by name,
# a whole day against the Linux simulator (checked by the Linux qxtill and by
# qxtill.exe, which then runs a day of its own), and the process ending in a
# delivery.
# QX_LINUX_BUILD names the Linux build whose rtsim and qxtill they use.
set(QX_LINUX_BUILD "${CMAKE_SOURCE_DIR}/build" CACHE PATH "Linux build with rtsim and qxtill")
set(QX_WIN32_BUILD "${CMAKE_SOURCE_DIR}/build-win32" CACHE PATH "The x86 Windows build")
set(QX_X86_BUILD "${CMAKE_SOURCE_DIR}/build-x86" CACHE PATH
  "The 32-bit x86 Linux build of the arithmetic suites (cmake/linux-i686.cmake)")

add_executable(win_host ${CMAKE_SOURCE_DIR}/tests/windows/win_host.cpp)
target_link_libraries(win_host PRIVATE oleaut32 shell32)
set_target_properties(win_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_dependencies(win_host QXRS_VURUV90_20)

add_test(NAME WindowsExports.X64
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exports.sh x86_64-w64-mingw32-objdump
  ${CMAKE_BINARY_DIR}/QXRS_VURUV90_20.dll ${CMAKE_SOURCE_DIR}/tests/windows/windows7_imports.txt)
add_test(NAME WindowsExports.X86
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exports.sh i686-w64-mingw32-objdump
  ${QX_WIN32_BUILD}/QXRS_VURUV90_20.dll ${CMAKE_SOURCE_DIR}/tests/windows/windows7_imports.txt)
add_test(NAME WindowsExports.ByNameAndOrdinal COMMAND wine ${CMAKE_BINARY_DIR}/win_host.exe exports)
add_test(NAME WindowsDay.AgainstLinuxSimulator
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/day.sh ${CMAKE_BINARY_DIR} ${QX_LINUX_BUILD}
  ${CMAKE_SOURCE_DIR})
set_tests_properties(WindowsExports.ByNameAndOrdinal WindowsDay.AgainstLinuxSimulator PROPERTIES
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
set_tests_properties(WindowsDay.AgainstLinuxSimulator PROPERTIES TIMEOUT 300 RUN_SERIAL ON)

add_executable(win_http ${CMAKE_SOURCE_DIR}/tests/windows/win_http.cpp)
target_link_libraries(win_http PRIVATE qxcore)
set_target_properties(win_http PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_test(NAME WindowsHttp.AgainstLocalServers
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/http.sh ${CMAKE_BINARY_DIR} ${QX_LINUX_BUILD})
set_tests_properties(WindowsHttp.AgainstLocalServers PROPERTIES TIMEOUT 120 RUN_SERIAL ON
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
add_test(NAME WindowsExit.InDelivery
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/exit.sh ${CMAKE_BINARY_DIR} ${QX_LINUX_BUILD}
  ${CMAKE_SOURCE_DIR})
set_tests_properties(WindowsExit.InDelivery PROPERTIES TIMEOUT 180 RUN_SERIAL ON
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

add_test(NAME WindowsScanner.HoldsFilesWhileTheTillSells
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/scanner.sh ${CMAKE_BINARY_DIR} ${QX_LINUX_BUILD}
  ${CMAKE_SOURCE_DIR})
set_tests_properties(WindowsScanner.HoldsFilesWhileTheTillSells PROPERTIES TIMEOUT 240 RUN_SERIAL ON
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

add_test(NAME WindowsCrash.KilledWhileSellingAndClosingLosesNothing
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/crash.sh ${CMAKE_BINARY_DIR} ${QX_LINUX_BUILD}
  ${CMAKE_SOURCE_DIR})
set_tests_properties(WindowsCrash.KilledWhileSellingAndClosingLosesNothing PROPERTIES TIMEOUT 240
  ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

add_test(NAME WindowsDeclarations.MatchTheHeader
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/windows/declarations.sh ${CMAKE_SOURCE_DIR})

# The system-neutral unit suites, cross-compiled and run under Wine: the
# arithmetic, texts, XML, receipts and verifier must give the same results on
# Windows. GoogleTest is built from Debian's source package for mingw.
set(QX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(EXISTS ${QX_GTEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  add_subdirectory(${QX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(QX_PORTABLE_SUITES
    base/format_test.cpp base/settings_info_test.cpp
    platform/digest_test.cpp platform/files_test.cpp platform/strings_test.cpp
    platform/xml_text_test.cpp
    receipt/receipt_convert_test.cpp receipt/receipt_model_test.cpp
    )
  list(TRANSFORM QX_PORTABLE_SUITES PREPEND ${CMAKE_SOURCE_DIR}/tests/)
  add_executable(qx_win_tests ${QX_PORTABLE_SUITES})
  target_include_directories(qx_win_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(qx_win_tests PRIVATE QX_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    QX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(qx_win_tests PRIVATE qxverify qxcore gtest gmock gtest_main)
  set_target_properties(qx_win_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_test(NAME WindowsUnitSuites COMMAND wine ${CMAKE_BINARY_DIR}/qx_win_tests.exe)
  set_tests_properties(WindowsUnitSuites PROPERTIES TIMEOUT 300
    ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

  # The application object's Windows side: the wait window and the message
  # box need the display the test stage gives Wine (skipped without one).
  add_executable(qx_win_window_tests ${CMAKE_SOURCE_DIR}/tests/windows/application_test.cpp)
  target_link_libraries(qx_win_window_tests PRIVATE qxcore gtest gtest_main)
  set_target_properties(qx_win_window_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_test(NAME WindowsWaitWindow COMMAND wine ${CMAKE_BINARY_DIR}/qx_win_window_tests.exe)
  set_tests_properties(WindowsWaitWindow PROPERTIES TIMEOUT 120
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
    ENVIRONMENT "WINEDEBUG=-all;WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
endif()

# The x86 DLL's figures: the arithmetic, amount and receipt suites built with
# the same x87 code generation, run as a 32-bit Linux program (this machine
# runs those, though not 32-bit Wine).
add_test(NAME X86UnitSuites COMMAND ${QX_X86_BUILD}/qx_x86_tests)
