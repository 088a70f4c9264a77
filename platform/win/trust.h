// The certificates a shop names in QX_TLS_CA_FILE (its RT server's own
// certificate or the CA that signed it), trusted for HTTPS in addition to the
// system's store, and the check of a server's certificate against both. For
// the HTTP client in this folder.
#pragma once

// clang-format off
#include <windows.h>  // first: the other system headers need its types
#include <wincrypt.h>
// clang-format on

#include <string>

namespace qx::win {

// The file QX_TLS_CA_FILE names, or the empty text when it is unset.
std::string ExtraTrustFile();

class ExtraTrust {
 public:
  // Reads every certificate of the PEM file. Raises qx::Error when the file
  // cannot be read or holds none.
  explicit ExtraTrust(const std::string& pemFile);
  ~ExtraTrust();
  ExtraTrust(const ExtraTrust&) = delete;
  ExtraTrust& operator=(const ExtraTrust&) = delete;

  // The empty text when |server| is trusted for |host|: its chain is one the
  // system trusts or ends at one of the file's certificates, without any other
  // fault, and the certificate names the host and is in date. Otherwise what
  // is wrong with it.
  std::string Refusal(PCCERT_CONTEXT server, const std::wstring& host) const;

 private:
  bool IsAnchor(PCCERT_CONTEXT certificate) const;

  HCERTSTORE fStore;
};

}  // namespace qx::win
