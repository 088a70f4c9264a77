#include "platform/win/trust.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/win/wide.h"

namespace qx::win {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

// The DER bytes of one PEM block, BEGIN and END lines included; empty when
// the block is not base64.
std::vector<BYTE> DecodePemBlock(std::string_view block) {
  DWORD size = 0;
  const DWORD length = static_cast<DWORD>(block.size());
  if (!CryptStringToBinaryA(block.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size,
                            nullptr, nullptr)) {
    return {};
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(block.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size,
                            nullptr, nullptr)) {
    return {};
  }
  der.resize(size);
  return der;
}

// Adds every certificate block of |pem| to |store|; how many were added.
int AddPemCertificates(HCERTSTORE store, std::string_view pem) {
  int added = 0;
  for (size_t begin = pem.find(kBegin); begin != std::string_view::npos;
       begin = pem.find(kBegin, begin + kBegin.size())) {
    const size_t end = pem.find(kEnd, begin);
    if (end == std::string_view::npos) break;
    const std::vector<BYTE> der = DecodePemBlock(pem.substr(begin, end + kEnd.size() - begin));
    if (!der.empty() && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                         static_cast<DWORD>(der.size()),
                                                         CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      ++added;
    }
  }
  return added;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
  return text;
}

// What the chain builder found wrong, in the words OpenSSL uses on the other
// systems; the empty text when the only fault is a root the system does not
// know.
std::string ChainFault(DWORD errors) {
  errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
  if (errors == 0) return std::string();
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    return "SSL certificate problem: certificate has expired or is not yet valid";
  }
  if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) {
    return "SSL certificate problem: unable to get local issuer certificate";
  }
  return "SSL certificate problem: certificate chain not valid (" + Hex(errors) + ")";
}

std::string PolicyFault(DWORD error, const std::wstring& host) {
  switch (error) {
    case 0:
      return std::string();
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "SSL: no alternative certificate subject name matches target host name '" +
             Narrow(host) + "'";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "SSL certificate problem: certificate has expired or is not yet valid";
    default:
      return "SSL certificate problem: " + SystemErrorText(error);
  }
}

struct ChainDeleter {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};

}  // namespace

std::string ExtraTrustFile() { return EnvironmentText("QX_TLS_CA_FILE"); }

ExtraTrust::ExtraTrust(const std::string& pemFile)
    : fStore(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr)) {
  if (fStore == nullptr) throw Error("Cannot make a certificate store");
  try {
    if (AddPemCertificates(fStore, ReadFileBytes(pemFile)) == 0) {
      throw Error("No certificate in " + pemFile);
    }
  } catch (...) {
    CertCloseStore(fStore, 0);
    throw;
  }
}

ExtraTrust::~ExtraTrust() { CertCloseStore(fStore, 0); }

bool ExtraTrust::IsAnchor(PCCERT_CONTEXT certificate) const {
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(fStore, kEncoding, 0, CERT_FIND_EXISTING, certificate, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

std::string ExtraTrust::Refusal(PCCERT_CONTEXT server, const std::wstring& host) const {
  // The chain is built from the system's stores, the certificates the
  // server sent and the file's. Only certificates already at hand are used:
  // the check never waits on the network.
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  PCCERT_CHAIN_CONTEXT built = nullptr;
  if (!CertGetCertificateChain(nullptr, server, nullptr, fStore, &parameters,
                               CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL, nullptr, &built)) {
    return "SSL certificate problem: " + SystemErrorText(GetLastError());
  }
  const std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainDeleter> chain(built);
  const DWORD errors = chain->TrustStatus.dwErrorStatus;
  if (std::string fault = ChainFault(errors); !fault.empty()) return fault;
  if (chain->cChain == 0) return "SSL certificate problem: empty certificate chain";
  if (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) {
    const CERT_SIMPLE_CHAIN* last = chain->rgpChain[chain->cChain - 1];
    if (last->cElement == 0 || !IsAnchor(last->rgpElement[last->cElement - 1]->pCertContext)) {
      return "SSL certificate problem: self-signed certificate in certificate chain";
    }
  }
  // The root is vouched for; the system's SSL policy checks the rest: the
  // host name, the dates and that the certificate is meant for a server.
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) {
    return "SSL certificate problem: " + SystemErrorText(GetLastError());
  }
  return PolicyFault(status.dwError, host);
}

}  // namespace qx::win
