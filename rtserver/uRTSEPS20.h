// The RT server client: one kEPSRTServer talks to one RT server. It holds the
// server's address and credentials, owns one request object per server
// function, and carries the single request/reply exchange they all use: the
// request is wrapped in a SOAP envelope, posted to one of the server's two CGI
// end points, and the reply is classified and reduced to its addInfo element.
//
// Sharing between threads: the host's thread and the queue pusher's thread use
// one client. Lock() must be held from a post until the caller has read
// everything it needs of the reply (LastError, LastErrorType, XmlResponse,
// XmlResponseNode). Every request object takes it for its whole operation; the
// exchange itself takes it too. It is recursive, so a caller holding it may run
// request objects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/datetime.h"
#include "platform/xml.h"

namespace qx {

// Which CGI end point of the server a request goes to.
enum tkEPSRTAddressType : int {
  fpMate,    // "/cgi-bin/fpmate.cgi": direct printer commands, the server's own Z report
  fpServer,  // "/cgi-bin/fpserver.cgi": server information, tills, tokens, till reports, documents
};

// Class of the last failure. Blocking: the server cannot take documents now
// (no reply, an unusable reply, refusal codes -20 and -8 to -1); the pusher
// keeps the document queued. Non-blocking: the refusal concerns the document.
enum tkEPSRT_ErrorType : int {
  et_Blocking,
  et_NonBlocking,
};

class kEPSRTServer;
class kEPSRTServer_Info;
class kEPSRTServer_TillMap;
class kEPSRTServer_TokenMap;
class kEPSRTServer_DateTime;
class kEPSRTServer_ZrepNumber;
class kEPSRTServer_VATMap;
class kEPSRTServer_ServerZReport;
class kEPSRTServer_TillZReport;
class kEPSRTServer_Receipt;

// The server's address and credentials as the host gave them.
class kEPSRTServer_Setup {
 public:
  const std::string& BaseAddress() const { return fBaseAddress; }
  void SetBaseAddress(std::string aValue) { fBaseAddress = std::move(aValue); }
  int32_t Port() const { return fPort; }
  void SetPort(int32_t aValue) { fPort = aValue; }
  const std::string& User() const { return fUser; }
  void SetUser(std::string aValue) { fUser = std::move(aValue); }
  const std::string& Password() const { return fPassword; }
  void SetPassword(std::string aValue) { fPassword = std::move(aValue); }

  // The URL of one end point: base address, ":", port, CGI path. A port of 0
  // becomes 80 for an "http://" and 443 for an "https://" base address (prefix
  // compared ignoring case) and stays so for later calls.
  std::string GetFullAddress(tkEPSRTAddressType aType);

 private:
  std::string fBaseAddress;
  int32_t fPort = 0;
  std::string fUser;
  std::string fPassword;
};

// Base of every request object: remembers the client that created it and
// offers the helpers that read replies.
class kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_Api(kEPSRTServer& aServer) : fServer(aServer) {}
  virtual ~kEPSRTServer_Api() = default;
  kEPSRTServer_Api(const kEPSRTServer_Api&) = delete;
  kEPSRTServer_Api& operator=(const kEPSRTServer_Api&) = delete;

  // Performs the object's request and stores its results in the object.
  // Objects whose request needs arguments raise their own message instead.
  virtual bool Get() = 0;

  // Reply-reading helpers, public so that they can be tested on their own.

  // The text of the child of |aNode| named |aName| (one-argument name search),
  // empty when there is no such child or it holds no text.
  static std::string GetChildText(XmlElement aNode, std::string_view aName);
  // The child of |aNode| named |aName|; raises "Element <name> not found in
  // response document." when there is none.
  static XmlElement RequireChild(XmlElement aNode, std::string_view aName);
  // Reads name="value" pairs out of the text a node holds: the text after the
  // first occurrence of |aName| followed by =" up to the next double quote.
  // A plain case-sensitive substring search ("Id" also matches in "tillId").
  // Empty when the name is absent or the closing quote is missing.
  static std::string ExtractTextAttribute(XmlElement aNode, std::string_view aName);
  // A date from eight digits yyyymmdd (time 0). Raises the conversion error for
  // a part that is not a number or a date that does not exist.
  static TDate TextToDate(std::string_view aText);
  // |aCount| characters of |aText| starting at the 1-based position |aIndex|;
  // fewer (or none) when the text is shorter.
  static std::string CopyText(std::string_view aText, size_t aIndex, size_t aCount);

 protected:
  kEPSRTServer& fServer;  // not owned
};

// Owns a request object whose class the client's users may not see in full:
// the deleter is bound where the object is made, so destroying the client
// needs only the forward declaration.
template <class T>
using kEPSRTServer_Owned = std::unique_ptr<T, void (*)(T*)>;

template <class T>
kEPSRTServer_Owned<T> MakeEPSRTRequest(kEPSRTServer& aServer) {
  return kEPSRTServer_Owned<T>(new T(aServer), [](T* aObject) { delete aObject; });
}

class kEPSRTServer {
 public:
  kEPSRTServer();
  ~kEPSRTServer();
  kEPSRTServer(const kEPSRTServer&) = delete;
  kEPSRTServer& operator=(const kEPSRTServer&) = delete;

  // Stores address, port and credentials; validates nothing and contacts no
  // one. The next exchange uses the new values.
  bool Setup(const std::string& aAddress, int32_t aPort, const std::string& aUser,
             const std::string& aPassword);

  // The exchange used by every request object: wraps |aBody| in the SOAP
  // envelope, posts it to end point |aType| and classifies the reply. True when
  // the reply's response element has success="true"; XmlResponseNode is then
  // its addInfo element. A reply that is not well-formed XML raises.
  bool SendRequest(tkEPSRTAddressType aType, std::string_view aBody);
  // Parses ResponseString() into XmlResponse() and classifies it.
  bool ParseResponse();
  // Work to run once during the next exchange, while the server handles the
  // request (see HttpPost::whileWaiting). Set it with Lock() held, up to the
  // request: the exchange that follows takes it.
  void SetWhileWaiting(std::function<void()> aWork);
  // The request text SendRequest posts for |aBody|.
  static std::string BuildEnvelope(std::string_view aBody);

  // SHA-256 of the UTF-8 bytes of |aText|, 64 lowercase hexadecimal digits.
  std::string GetSha256(std::string_view aText) const;

  // Forwarding operations: each returns the result of its request object.
  bool GetServerInfo();
  bool GetServerHeaders();
  bool GetTillMap();
  bool CreateToken(const std::string& aTillId);
  bool GetDateTime();
  bool GetZRepNumber();
  bool GetVATMap();
  bool PrintServerZReport();
  bool GetTillHistoricZReport(const std::string& aTillId, int32_t aZRepNumber);
  bool GetTillCurrentZReport(const std::string& aTillid);

  // Hold from a post until everything needed of the reply has been read.
  std::recursive_mutex& Lock() const { return fLock; }

  kEPSRTServer_Setup& SetupInfo() const { return *fSetupInfo; }
  kEPSRTServer_Info& ServerInfo() const { return *fServerInfo; }
  kEPSRTServer_TillMap& ServerTillMap() const { return *fServerTillMap; }
  kEPSRTServer_TokenMap& TokenMap() const { return *fTokenMap; }
  kEPSRTServer_DateTime& DateTime() const { return *fDateTime; }
  kEPSRTServer_ZrepNumber& ZrepNumber() const { return *fZrepNumber; }
  kEPSRTServer_VATMap& VATMap() const { return *fVATMAP; }
  kEPSRTServer_ServerZReport& ServerZReport() const { return *fServerZReport; }
  kEPSRTServer_TillZReport& TillZReport() const { return *fTillZReport; }
  kEPSRTServer_Receipt& Receipt() const { return *fReceipt; }

  // Body of the last reply received.
  const std::string& ResponseString() const { return fResponseString; }
  // The last reply as a document, "<NoData/>" after an exchange that got no
  // reply, empty after a reply that did not parse.
  XmlDocument& XmlResponse() const { return *fXmlResponse; }
  // The addInfo element of the last successful reply (empty when it had none).
  // It stays valid until the next successful exchange.
  XmlElement XmlResponseNode() const { return fXmlResponseNode; }
  // Text and class of the last failure; a success leaves them as they were.
  const std::string& LastError() const { return fLastError; }
  tkEPSRT_ErrorType LastErrorType() const { return fLastErrorType; }

 private:
  void Fail(std::string aError, tkEPSRT_ErrorType aType);

  // Request objects in this order; the constructor creates and the destructor
  // frees them in this order.
  std::unique_ptr<kEPSRTServer_Setup> fSetupInfo;
  kEPSRTServer_Owned<kEPSRTServer_Info> fServerInfo{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_TillMap> fServerTillMap{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_TokenMap> fTokenMap{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_DateTime> fDateTime{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_ZrepNumber> fZrepNumber{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_VATMap> fVATMAP{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_ServerZReport> fServerZReport{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_TillZReport> fTillZReport{nullptr, nullptr};
  kEPSRTServer_Owned<kEPSRTServer_Receipt> fReceipt{nullptr, nullptr};

  std::string fResponseString;
  // Each exchange gets a fresh document. The document of the last successful
  // reply is kept alive as well, so XmlResponseNode survives failed exchanges.
  std::shared_ptr<XmlDocument> fXmlResponse;
  std::shared_ptr<XmlDocument> fXmlResponseNodeDocument;
  XmlElement fXmlResponseNode;
  std::string fLastError;
  tkEPSRT_ErrorType fLastErrorType = et_Blocking;
  std::function<void()> fWhileWaiting;

  mutable std::recursive_mutex fLock;
};

}  // namespace qx
