# Cross-build for 32-bit Windows (x86); its programs cannot run on this machine.
set(QX_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
