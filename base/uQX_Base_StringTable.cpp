// The library's string table: its description, copyright line and release
// history as "$KEY=value" lines with ids from 10000. The current version is
// the project version the build defines.
#include <cstdint>
#include <string>

#include "base/uQX_Base_Info.h"

#ifndef QX_VERSION
#error "QX_VERSION must be defined by the build"
#endif

namespace qx {

namespace {

struct StringResource {
  int32_t id;
  const char* text;
};

constexpr StringResource kStringTable[] = {
    {10000, "$APPDESCRIPTION=QXRS_VURUV90_20 fiscal driver library for RT server tills"},
    {10001, "$COPYRIGHT=Copyright (c) 2026 QXRS developers"},
    {10002, "$VERSION=0.9.0"},
    {10003, "$RELEASEDATE=16/11/2026"},
    {10004, "$AUTHOR=QXD"},
    {10005, "$PTEXT=Rilascio Iniziale"},
    {10006, "$VERSION=" QX_VERSION},
    {10007, "$RELEASEDATE=09/12/2026"},
    {10008, "$AUTHOR=QXD"},
    {10009, "$PTEXT=Gestione Intestazione Scontrino per stampa su stampanti non fiscali"},
    {10010, "$PTEXT=Correzione anomalia in calcolo IVA in caso di sconti subtotale"},
};

}  // namespace

std::string LoadLibraryString(int32_t id) {
  for (const StringResource& resource : kStringTable) {
    if (resource.id == id) return resource.text;
  }
  return std::string();
}

}  // namespace qx
