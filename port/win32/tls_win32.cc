// TLS on Schannel (SSPI). The provider never touches the socket: handshake
// tokens and records pass through the transport, so every wait keeps the
// socket's time-outs and stop check. Records are framed here, one complete
// record per decryption, and the peer's certificate is checked here too (the
// provider is told not to), against the system's roots or the authority of
// VEXAUPLOAD_CA_FILE, with the same refusal texts as the other platforms.
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
// SCH_CREDENTIALS and TLS_PARAMETERS (with UNICODE_STRING from subauth.h).
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "port/file.h"
#include "port/tls.h"
#include "port/tls_parse.h"
#include "port/win32/wide_path.h"

namespace vexa::port {

namespace {

// Records waiting to go out together: a range is sent as many 16 KiB records,
// and one send for each would cost more than the encryption.
constexpr size_t kSchannelSendBatch = 256 * 1024;
// What one receive asks the transport for.
constexpr size_t kSchannelReceiveBlock = 32 * 1024;

std::string StatusHex(SECURITY_STATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(status));
  return text;
}

// The client credentials of the process: TLS 1.2 and 1.3 only, no client
// certificate, and no certificate check by the provider (ours follows the
// handshake). Schannel keeps resumable sessions per credentials and server
// name, so one handle for the process gives resumption on new connections.
bool AcquireClientCredentials(CredHandle* cred, SECURITY_STATUS* status) {
  const DWORD flags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  TimeStamp expiry;
  // TLS 1.3 needs SCH_CREDENTIALS (Windows 10 1809 and later).
  TLS_PARAMETERS parameters = {};
  parameters.grbitDisabledProtocols =
      ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  SCH_CREDENTIALS modern = {};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = flags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  *status =
      AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                nullptr, &modern, nullptr, nullptr, cred, &expiry);
  if (*status == SEC_E_OK) return true;
  // Older systems (and Wine) know only SCHANNEL_CRED; some of them refuse the
  // TLS 1.3 bit, which then leaves TLS 1.2.
  for (DWORD protocols : {static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT),
                          static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT)}) {
    SCHANNEL_CRED older = {};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = flags;
    older.grbitEnabledProtocols = protocols;
    *status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &older, nullptr, nullptr, cred, &expiry);
    if (*status == SEC_E_OK) return true;
  }
  return false;
}

// The certificates of an authority file (PEM with one or more certificates,
// or one DER certificate) in a memory store; null when it holds none.
HCERTSTORE LoadAuthorityStore(const std::string& path) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes)) return nullptr;
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
  if (store == nullptr) return nullptr;
  int added = 0;
  const std::vector<std::string_view> blocks = PemCertificateBlocks(bytes);
  for (std::string_view block : blocks) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
      continue;
    }
    std::vector<BYTE> der(size);
    if (CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                             CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr) &&
        CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      ++added;
    }
  }
  if (blocks.empty() && !bytes.empty() &&
      CertAddEncodedCertificateToStore(
          store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(bytes.data()),
          static_cast<DWORD>(bytes.size()), CERT_STORE_ADD_ALWAYS, nullptr)) {
    ++added;
  }
  if (added == 0) {
    CertCloseStore(store, 0);
    return nullptr;
  }
  return store;
}

// The process's credentials and one store per authority file (the variable
// may change between uses, as in tests); both live as long as the process.
class SchannelShared {
 public:
  CredHandle* Credentials(std::string* text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (have_credentials_) return &credentials_;
    SECURITY_STATUS status;
    if (!AcquireClientCredentials(&credentials_, &status)) {
      *text = "TLS is not available: the system refused TLS 1.2 credentials (" + StatusHex(status) +
              ")";
      return nullptr;
    }
    have_credentials_ = true;
    return &credentials_;
  }

  // False when the file names no usable authority; `*store` is null for "".
  bool Authority(const std::string& file, HCERTSTORE* store) {
    *store = nullptr;
    if (file.empty()) return true;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = stores_.find(file);
    if (it == stores_.end()) {
      HCERTSTORE loaded = LoadAuthorityStore(file);
      if (loaded == nullptr) return false;
      it = stores_.emplace(file, loaded).first;
    }
    *store = it->second;
    return true;
  }

 private:
  std::mutex mu_;
  bool have_credentials_ = false;
  CredHandle credentials_ = {};
  std::map<std::string, HCERTSTORE> stores_;
};

SchannelShared& Shared() {
  static SchannelShared* shared = new SchannelShared();
  return *shared;
}

std::string SubjectOf(PCCERT_CONTEXT cert) {
  DWORD size =
      CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, nullptr, 0);
  if (size <= 1) return std::string();
  std::wstring name(size, L'\0');
  CertNameToStrW(X509_ASN_ENCODING, &cert->pCertInfo->Subject, CERT_X500_NAME_STR, name.data(),
                 size);
  name.resize(size - 1);
  return Narrow(name);
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT cert) {
  PCCERT_CONTEXT found =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
  if (found == nullptr) return false;
  CertFreeCertificateContext(found);
  return true;
}

// The chain's faults in the words the other platforms use.
std::string ChainFault(DWORD errors, const CERT_SIMPLE_CHAIN* simple, PCCERT_CONTEXT leaf) {
  if (errors & CERT_TRUST_IS_REVOKED) return "certificate revoked";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    if (errors & CERT_TRUST_IS_PARTIAL_CHAIN) return "unable to get local issuer certificate";
    return simple->cElement <= 1 ? "self-signed certificate"
                                 : "self-signed certificate in certificate chain";
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
    return CertVerifyTimeValidity(nullptr, leaf->pCertInfo) < 0 ? "certificate is not yet valid"
                                                                : "certificate has expired";
  }
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "unsupported certificate purpose";
  if (errors & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) return "invalid CA certificate";
  return "the certificate chain is not valid (status " +
         StatusHex(static_cast<SECURITY_STATUS>(errors)) + ")";
}

// Why the chain of `cert` is not trusted; empty when it is. It must end at a
// root of the system's store or at a certificate of `authority`.
std::string ChainRefusal(PCCERT_CONTEXT cert, HCERTSTORE authority) {
  HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
  if (extra == nullptr) return "the certificate chain could not be built";
  if (cert->hCertStore != nullptr) CertAddStoreToCollection(extra, cert->hCertStore, 0, 0);
  if (authority != nullptr) CertAddStoreToCollection(extra, authority, 0, 0);
  LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, extra, &para, 0, nullptr, &chain) ||
      chain->cChain == 0) {
    if (chain != nullptr) CertFreeCertificateChain(chain);
    CertCloseStore(extra, 0);
    return "the certificate chain could not be built";
  }
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  // Revocation is not asked for; the lists may not be reachable anyway.
  DWORD errors = chain->TrustStatus.dwErrorStatus &
                 ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  // A root the system does not know, but which the authority file names.
  const bool ours = authority != nullptr && (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) &&
                    simple->cElement > 0 &&
                    InStore(authority, simple->rgpElement[simple->cElement - 1]->pCertContext);
  if (ours) errors &= ~CERT_TRUST_IS_UNTRUSTED_ROOT;
  std::string reason;
  if (errors != 0) {
    reason = ChainFault(errors, simple, cert);
  } else {
    // The system's rules for server certificates have the last word on what
    // they check beyond the chain; the name is checked by the caller.
    HTTPSPolicyCallbackData ssl = {};
    ssl.cbStruct = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.dwFlags = ours ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof status;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
      reason = "the certificate chain could not be checked";
    } else if (status.dwError != 0 &&
               !(ours && static_cast<HRESULT>(status.dwError) == CERT_E_UNTRUSTEDROOT)) {
      reason = "refused by the system's policy (" +
               StatusHex(static_cast<SECURITY_STATUS>(status.dwError)) + ")";
    }
  }
  CertFreeCertificateChain(chain);
  CertCloseStore(extra, 0);
  return reason;
}

// Whether the certificate names `host`: a dotted IPv4 host against the
// address entries, any other against the DNS entries, or the common name when
// the certificate has no DNS entry at all.
bool CertificateNamesHost(PCCERT_CONTEXT cert, const std::string& host) {
  uint8_t ip[4];
  const bool is_ip = ParseDottedIpv4(host, ip);
  const CERT_INFO* info = cert->pCertInfo;
  PCERT_EXTENSION ext =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  if (ext == nullptr)
    ext = CertFindExtension(szOID_SUBJECT_ALT_NAME, info->cExtension, info->rgExtension);
  bool any_dns = false;
  if (ext != nullptr) {
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                            ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size)) {
      bool match = false;
      for (DWORD i = 0; i < names->cAltEntry && !match; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
          any_dns = true;
          match = !is_ip && CertificateNameMatches(Narrow(entry.pwszDNSName), host);
        } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
          match = is_ip && entry.IPAddress.cbData == 4 &&
                  std::memcmp(entry.IPAddress.pbData, ip, 4) == 0;
        }
      }
      LocalFree(names);
      if (match) return true;
    }
  }
  if (is_ip || any_dns) return false;
  DWORD size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0,
                                  const_cast<char*>(szOID_COMMON_NAME), nullptr, 0);
  if (size <= 1) return false;
  std::wstring common(size, L'\0');
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                     common.data(), size);
  common.resize(size - 1);
  return CertificateNameMatches(Narrow(common), host);
}

class SchannelSession : public TlsSession {
 public:
  explicit SchannelSession(TlsTransport* transport) : transport_(transport) {}
  ~SchannelSession() override {
    // HTTP framing, not close_notify, ends our exchanges.
    if (have_context_) DeleteSecurityContext(&context_);
  }
  SchannelSession(const SchannelSession&) = delete;
  SchannelSession& operator=(const SchannelSession&) = delete;

  // The handshake; then the peer's certificate before anything is sent.
  bool Connect(CredHandle* credentials, const std::string& host, HCERTSTORE authority) {
    host_ = host;
    credentials_ = credentials;
    if (!Handshake(true)) return false;
    if (!SecSucceeded(QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_)) ||
        sizes_.cbMaximumMessage == 0) {
      return Fail(TlsError::Protocol, "TLS handshake with " + host + " failed: no record sizes");
    }
    return VerifyPeer(authority);
  }

  long Read(void* buffer, size_t length) override {
    if (length == 0) return 0;
    if (plain_pos_ == plain_.size()) {
      switch (Pump()) {
        case Pumped::Data:
          break;
        case Pumped::Closed:
          return 0;
        case Pumped::WouldBlock:  // only a transport told not to wait says so
        case Pumped::Failed:
          return -1;
      }
    }
    const size_t n = std::min(length, plain_.size() - plain_pos_);
    std::memcpy(buffer, plain_.data() + plain_pos_, n);
    plain_pos_ += n;
    return static_cast<long>(n);
  }

  bool Write(const void* data, size_t length) override {
    if (error_ != TlsError::None) return false;
    const char* p = static_cast<const char*>(data);
    const size_t record_room = sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer;
    const size_t batch = std::max<size_t>(1, kSchannelSendBatch / record_room) * record_room;
    if (out_.size() < batch) out_.resize(batch);
    while (length > 0) {
      size_t used = 0;
      while (length > 0 && used + record_room <= out_.size()) {
        const size_t n = std::min<size_t>(length, sizes_.cbMaximumMessage);
        size_t record_length = 0;
        if (!EncryptRecord(p, n, out_.data() + used, &record_length)) return false;
        used += record_length;
        p += n;
        length -= n;
      }
      if (!transport_->WriteAll(out_.data(), used))
        return Fail(TlsError::Transport, "the connection under TLS failed");
    }
    return true;
  }

  // Write sends its records itself.
  bool Flush() override { return error_ == TlsError::None; }

  size_t Buffered() const override { return plain_.size() - plain_pos_; }

  bool DrainIdle() override {
    if (plain_pos_ < plain_.size()) return false;
    return Pump() == Pumped::WouldBlock;
  }

  TlsError error() const override { return error_; }
  const std::string& error_text() const override { return text_; }

 private:
  enum class Pumped { Data, Closed, Failed, WouldBlock };
  enum class Received { Some, Closed, Failed, WouldBlock };

  bool Fail(TlsError kind, const std::string& text) {
    error_ = kind;
    text_ = text;
    return false;
  }

  static bool SecSucceeded(SECURITY_STATUS status) { return status == SEC_E_OK; }

  // The encrypted bytes received and not yet used: in_[in_start_, in_end_).
  const unsigned char* InData() const { return in_.data() + in_start_; }
  size_t InLength() const { return in_end_ - in_start_; }
  void Consume(size_t n) {
    in_start_ += n;
    if (in_start_ == in_end_) in_start_ = in_end_ = 0;
  }

  // Appends what the transport has to the encrypted bytes.
  Received ReceiveMore() {
    if (in_start_ > 0 && in_.size() - in_end_ < kSchannelReceiveBlock) {
      std::memmove(in_.data(), in_.data() + in_start_, InLength());
      in_end_ -= in_start_;
      in_start_ = 0;
    }
    if (in_.size() - in_end_ < kSchannelReceiveBlock) in_.resize(in_end_ + kSchannelReceiveBlock);
    const long n = transport_->ReadSome(in_.data() + in_end_, in_.size() - in_end_);
    if (n == -2) return Received::WouldBlock;
    if (n == 0) return Received::Closed;
    if (n < 0) return Received::Failed;
    in_end_ += static_cast<size_t>(n);
    return Received::Some;
  }

  // Whether a whole record is at the front of the encrypted bytes; false with
  // `*malformed` when they are not TLS at all.
  bool HaveRecord(long* record, bool* malformed) const {
    *record = TlsRecordLength(InData(), InLength());
    *malformed = *record < 0;
    return *record > 0 && static_cast<size_t>(*record) <= InLength();
  }

  bool SendToken(SecBuffer* token) {
    bool ok = true;
    if (token->pvBuffer != nullptr) {
      if (token->cbBuffer > 0) ok = transport_->WriteAll(token->pvBuffer, token->cbBuffer);
      FreeContextBuffer(token->pvBuffer);
      token->pvBuffer = nullptr;
    }
    return ok;
  }

  bool HandshakeFailure(SECURITY_STATUS status) {
    switch (status) {
      case SEC_E_WRONG_PRINCIPAL:
        return Fail(TlsError::Certificate,
                    "certificate of " + host_ + " refused: hostname mismatch");
      case SEC_E_CERT_EXPIRED:
        return Fail(TlsError::Certificate,
                    "certificate of " + host_ + " refused: certificate has expired");
      case SEC_E_UNTRUSTED_ROOT:
        return Fail(TlsError::Certificate,
                    "certificate of " + host_ + " refused: unable to get local issuer certificate");
      case SEC_E_ALGORITHM_MISMATCH:
      case SEC_E_UNSUPPORTED_FUNCTION:
        return Fail(TlsError::Protocol, "TLS handshake with " + host_ +
                                            " failed: no protocol version or cipher in common (" +
                                            StatusHex(status) + ")");
      default:
        return Fail(TlsError::Protocol,
                    "TLS handshake with " + host_ + " failed: " + StatusHex(status));
    }
  }

  // Runs InitializeSecurityContext until the context is complete: from the
  // start with `initial`, else to answer what the peer sent on an open
  // connection (a renegotiation or a TLS 1.3 message after the handshake),
  // starting from the bytes already held.
  bool Handshake(bool initial) {
    const std::wstring target = Widen(host_);
    const ULONG wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                         ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                         ISC_REQ_MANUAL_CRED_VALIDATION;
    bool first = initial;
    bool need_input = false;
    for (;;) {
      if (need_input) {
        long record;
        bool malformed;
        while (!HaveRecord(&record, &malformed)) {
          if (malformed) {
            return Fail(TlsError::Protocol, "TLS handshake with " + host_ +
                                                " failed: the server did not answer in TLS");
          }
          switch (ReceiveMore()) {
            case Received::Some:
              break;
            case Received::Closed:
            case Received::Failed:
            case Received::WouldBlock:
              return Fail(TlsError::Transport,
                          "the connection to " + host_ + " broke during the TLS handshake");
          }
        }
      }
      SecBuffer in[2] = {};
      in[0].BufferType = SECBUFFER_TOKEN;
      in[0].pvBuffer = const_cast<unsigned char*>(InData());
      in[0].cbBuffer = static_cast<ULONG>(InLength());
      in[1].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in};
      SecBuffer out[1] = {};
      out[0].BufferType = SECBUFFER_TOKEN;
      SecBufferDesc out_desc = {SECBUFFER_VERSION, 1, out};
      ULONG attributes = 0;
      const SECURITY_STATUS status = InitializeSecurityContextW(
          credentials_, first ? nullptr : &context_, const_cast<wchar_t*>(target.c_str()), wanted,
          0, 0, first ? nullptr : &in_desc, 0, &context_, &out_desc, &attributes, nullptr);
      if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) have_context_ = true;
      first = false;
      const bool sent = SendToken(&out[0]);
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        // Asked again after the handshake with nothing held: nothing more is due.
        if (!initial && InLength() == 0) return true;
        if (!ReceiveDuringHandshake()) return false;
        need_input = false;
        continue;
      }
      if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED &&
          status != SEC_I_INCOMPLETE_CREDENTIALS) {
        return HandshakeFailure(status);
      }
      if (!sent)
        return Fail(TlsError::Transport,
                    "the connection to " + host_ + " broke during the TLS handshake");
      if (status == SEC_I_INCOMPLETE_CREDENTIALS)
        continue;  // asked for a client certificate: go on without
      // What the provider did not use stays for the next call (or, once the
      // handshake is done, is the first application record).
      Consume(in[1].BufferType == SECBUFFER_EXTRA ? InLength() - in[1].cbBuffer : InLength());
      if (status == SEC_E_OK) return true;
      need_input = InLength() == 0;
    }
  }

  // Reads at least one more byte during the handshake.
  bool ReceiveDuringHandshake() {
    if (ReceiveMore() == Received::Some) return true;
    return Fail(TlsError::Transport,
                "the connection to " + host_ + " broke during the TLS handshake");
  }

  bool VerifyPeer(HCERTSTORE authority) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK ||
        cert == nullptr) {
      return Fail(TlsError::Certificate,
                  "certificate of " + host_ + " refused: no certificate presented");
    }
    std::string reason = ChainRefusal(cert, authority);
    if (reason.empty() && !CertificateNamesHost(cert, host_)) {
      uint8_t ip[4];
      reason = ParseDottedIpv4(host_, ip) ? "IP address mismatch" : "hostname mismatch";
    }
    if (!reason.empty()) {
      std::string text = "certificate of " + host_ + " refused: " + reason;
      const std::string subject = SubjectOf(cert);
      if (!subject.empty()) text += " (presented: " + subject + ")";
      CertFreeCertificateContext(cert);
      return Fail(TlsError::Certificate, text);
    }
    CertFreeCertificateContext(cert);
    return true;
  }

  // Encrypts `n` bytes into one record at `record`; its length in `*length`.
  bool EncryptRecord(const char* data, size_t n, char* record, size_t* length) {
    std::memcpy(record + sizes_.cbHeader, data, n);
    SecBuffer b[4] = {};
    b[0] = {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record};
    b[1] = {static_cast<ULONG>(n), SECBUFFER_DATA, record + sizes_.cbHeader};
    b[2] = {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + n};
    b[3].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
    if (status != SEC_E_OK)
      return Fail(TlsError::Protocol,
                  "TLS failed: a record was not encrypted (" + StatusHex(status) + ")");
    // The parts may come back shorter than reserved: close the gaps.
    char* end = record + b[0].cbBuffer;
    for (int i = 1; i < 3; ++i) {
      if (static_cast<char*>(b[i].pvBuffer) != end) std::memmove(end, b[i].pvBuffer, b[i].cbBuffer);
      end += b[i].cbBuffer;
    }
    *length = static_cast<size_t>(end - record);
    return true;
  }

  // Decrypts records until one holds application bytes (then in plain_), the
  // peer closes, something fails, or a transport that may not wait has
  // nothing more.
  Pumped Pump() {
    if (error_ != TlsError::None) return Pumped::Failed;
    if (closed_) return Pumped::Closed;
    for (;;) {
      long record;
      bool malformed;
      if (!HaveRecord(&record, &malformed)) {
        if (malformed) {
          Fail(TlsError::Protocol, "TLS failed: the server sent bytes that are not TLS records");
          return Pumped::Failed;
        }
        switch (ReceiveMore()) {
          case Received::Some:
            continue;
          case Received::WouldBlock:
            return Pumped::WouldBlock;
          case Received::Closed:
            // A close without close_notify: the peer just went away, as with
            // plain HTTP; HTTP framing decides whether anything is missing.
            closed_ = true;
            return Pumped::Closed;
          case Received::Failed:
            Fail(TlsError::Transport, "the connection under TLS failed");
            return Pumped::Failed;
        }
      }
      SecBuffer b[4] = {};
      b[0] = {static_cast<ULONG>(record), SECBUFFER_DATA, const_cast<unsigned char*>(InData())};
      for (int i = 1; i < 4; ++i) b[i].BufferType = SECBUFFER_EMPTY;
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, b};
      const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
      if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        Fail(TlsError::Protocol,
             "TLS failed: a record could not be decrypted (" + StatusHex(status) + ")");
        return Pumped::Failed;
      }
      // The plaintext lies inside the record just decrypted: keep it before
      // the record's bytes are given up.
      plain_.clear();
      plain_pos_ = 0;
      for (const SecBuffer& part : b) {
        if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
          plain_.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
        }
      }
      Consume(static_cast<size_t>(record));
      if (status == SEC_I_CONTEXT_EXPIRED) {
        closed_ = true;  // the peer's close_notify
        return plain_.empty() ? Pumped::Closed : Pumped::Data;
      }
      if (status == SEC_I_RENEGOTIATE && !Handshake(false)) return Pumped::Failed;
      if (!plain_.empty()) return Pumped::Data;
    }
  }

  TlsTransport* transport_;
  CredHandle* credentials_ = nullptr;
  std::string host_;
  CtxtHandle context_ = {};
  bool have_context_ = false;
  SecPkgContext_StreamSizes sizes_ = {};
  std::vector<unsigned char> in_;
  size_t in_start_ = 0;
  size_t in_end_ = 0;
  std::string plain_;
  size_t plain_pos_ = 0;
  std::vector<char> out_;
  bool closed_ = false;
  TlsError error_ = TlsError::None;
  std::string text_;
};

}  // namespace

bool TlsAvailable() { return true; }

std::unique_ptr<TlsSession> StartTlsClient(TlsTransport* transport, const std::string& host, int,
                                           TlsError* error, std::string* text) {
  *error = TlsError::Protocol;
  CredHandle* credentials = Shared().Credentials(text);
  if (credentials == nullptr) return nullptr;
  const char* ca = std::getenv("VEXAUPLOAD_CA_FILE");
  const std::string ca_file = ca != nullptr ? ca : "";
  HCERTSTORE authority = nullptr;
  if (!Shared().Authority(ca_file, &authority)) {
    *text = "the authority file " + ca_file + " (VEXAUPLOAD_CA_FILE) cannot be read";
    return nullptr;
  }
  auto session = std::make_unique<SchannelSession>(transport);
  if (!session->Connect(credentials, host, authority)) {
    *error = session->error();
    *text = session->error_text();
    return nullptr;
  }
  *error = TlsError::None;
  text->clear();
  return session;
}

}  // namespace vexa::port
