// The certificate calls of crypt32 the plug-in makes to judge a server's certificate itself:
// CertGetCertificateChain, CertVerifyCertificateChainPolicy (the SSL policy), their frees, and
// CryptHashCertificate2 and the older CryptHashCertificate (SHA-256 only), over OpenSSL.
//
// "The system's trust store" is OpenSSL's default one (the distribution's CA bundle, or the
// files SSL_CERT_FILE and SSL_CERT_DIR name), read afresh for each chain, as the system reads its
// own store. Revocation is not checked: the plug-in asks for no revocation check, and the system
// then makes none either.
//
// Every context handed out is kept in a table under one lock, so a free of something never handed
// out (or freed twice) is refused instead of corrupting memory; the lock guards the tables only,
// never OpenSSL work.
#include "platform/linux/certificates.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct StackFree {
  void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using CertificateStack = std::unique_ptr<STACK_OF(X509), StackFree>;
struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

// What an HCERTSTORE points at: the certificates a peer sent.
struct CertificateStore {
  CertificateStack certificates;
};

struct CertificateRecord {
  CERT_CONTEXT context{};
  std::vector<BYTE> der;
  std::unique_ptr<CertificateStore> store;  // the peer's chain; none for a chain's elements
};

struct ChainRecord {
  CERT_CHAIN_CONTEXT context{};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN simple_pointer = nullptr;
  std::vector<CERT_CHAIN_ELEMENT> elements;
  std::vector<PCERT_CHAIN_ELEMENT> element_pointers;
  // The elements' certificate contexts belong to the chain and go with it, as the system's do.
  std::vector<std::unique_ptr<CertificateRecord>> certificates;
};

struct Tables {
  std::mutex lock;
  std::map<const CERT_CONTEXT*, std::unique_ptr<CertificateRecord>> certificates;
  std::map<const CERT_CHAIN_CONTEXT*, std::unique_ptr<ChainRecord>> chains;
  std::set<const CertificateStore*> stores;
};

Tables& tables() {
  static Tables instance;
  return instance;
}

std::unique_ptr<CertificateRecord> make_record(X509* certificate) {
  auto record = std::make_unique<CertificateRecord>();
  int length = i2d_X509(certificate, nullptr);
  if (length <= 0) return nullptr;
  record->der.resize(static_cast<size_t>(length));
  unsigned char* out = record->der.data();
  i2d_X509(certificate, &out);
  record->context.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  record->context.pbCertEncoded = record->der.data();
  record->context.cbCertEncoded = static_cast<DWORD>(record->der.size());
  return record;
}

Certificate parse(const BYTE* der, DWORD length) {
  if (der == nullptr || length == 0) return nullptr;
  const unsigned char* in = der;
  Certificate certificate(d2i_X509(nullptr, &in, static_cast<long>(length)));
  // Trailing bytes after the certificate mean the caller's length is not the certificate's.
  if (certificate && in != der + length) return nullptr;
  return certificate;
}

// OpenSSL's reasons, as the system's chain trust flags.
DWORD trust_flag(int error) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return CERT_TRUST_IS_PARTIAL_CHAIN;
    case X509_V_ERR_INVALID_PURPOSE:
      return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
      return CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
    default:
      // Anything else (a bad signature, an unreadable field) makes the chain worthless.
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
  }
}

// Goes on past every error, as the system's chain building does, so the chain comes back whole
// with all its faults flagged and the policy, not the builder, decides.
int collect_errors(int ok, X509_STORE_CTX* context) {
  if (!ok) {
    auto* flags = static_cast<DWORD*>(X509_STORE_CTX_get_app_data(context));
    *flags |= trust_flag(X509_STORE_CTX_get_error(context));
  }
  return 1;
}

bool asks_for_server_use(const CERT_CHAIN_PARA* parameters) {
  if (parameters == nullptr) return false;
  const CERT_ENHKEY_USAGE& usage = parameters->RequestedUsage.Usage;
  for (DWORD i = 0; i < usage.cUsageIdentifier && usage.rgpszUsageIdentifier != nullptr; ++i) {
    const char* identifier = usage.rgpszUsageIdentifier[i];
    if (identifier != nullptr && std::strcmp(identifier, szOID_PKIX_KP_SERVER_AUTH) == 0) return true;
  }
  return false;
}

// FILETIME counts 100 ns steps from 1601; time_t seconds from 1970.
time_t unix_time(const FILETIME& time) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr uint64_t kEpochDifference = 116444736000000000ull;
  return ticks < kEpochDifference ? 0 : static_cast<time_t>((ticks - kEpochDifference) / 10000000ull);
}

// The SSL policy's verdict from the chain's flags, the most basic fault first.
HRESULT chain_error(DWORD flags) {
  if (flags & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return TRUST_E_CERT_SIGNATURE;
  if (flags & CERT_TRUST_IS_PARTIAL_CHAIN) return CERT_E_CHAINING;
  if (flags & CERT_TRUST_IS_UNTRUSTED_ROOT) return CERT_E_UNTRUSTEDROOT;
  if (flags & CERT_TRUST_INVALID_BASIC_CONSTRAINTS) return TRUST_E_BASIC_CONSTRAINTS;
  if (flags & CERT_TRUST_IS_NOT_TIME_VALID) return CERT_E_EXPIRED;
  if (flags & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return CERT_E_WRONG_USAGE;
  return 0;
}

// What both hash calls share once the algorithm is known to be SHA-256.
BOOL sha256(const BYTE* encoded, DWORD encoded_size, BYTE* hash, DWORD* hash_size) {
  constexpr DWORD kSha256Size = 32;
  if (hash_size == nullptr || (encoded == nullptr && encoded_size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // No output buffer asks for the size only.
  if (hash == nullptr) {
    *hash_size = kSha256Size;
    return TRUE;
  }
  if (*hash_size < kSha256Size) {
    *hash_size = kSha256Size;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  unsigned int length = 0;
  if (EVP_Digest(encoded, encoded_size, hash, &length, EVP_sha256(), nullptr) != 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *hash_size = length;
  return TRUE;
}

}  // namespace

bool ascii_server_name(const WCHAR* wide, std::string& out) {
  out.clear();
  if (wide == nullptr) return false;
  for (const WCHAR* c = wide; *c != 0; ++c) {
    if (*c > 0x7F) return false;
    out.push_back(static_cast<char>(*c));
  }
  return !out.empty();
}

bool is_ip_literal(const std::string& name) {
  unsigned char address[16];
  return inet_pton(AF_INET, name.c_str(), address) == 1 || inet_pton(AF_INET6, name.c_str(), address) == 1;
}

PCCERT_CONTEXT certificate_context_of_peer(SSL* ssl) {
  X509* leaf = SSL_get0_peer_certificate(ssl);
  if (leaf == nullptr) return nullptr;
  std::unique_ptr<CertificateRecord> record = make_record(leaf);
  if (!record) return nullptr;
  record->store = std::make_unique<CertificateStore>();
  // On a client the peer's chain starts with the leaf.
  STACK_OF(X509)* sent = SSL_get_peer_cert_chain(ssl);
  record->store->certificates.reset(sent != nullptr ? X509_chain_up_ref(sent) : sk_X509_new_null());
  if (!record->store->certificates) return nullptr;
  record->context.hCertStore = record->store.get();
  const CERT_CONTEXT* context = &record->context;
  Tables& all = tables();
  std::lock_guard guard(all.lock);
  all.stores.insert(record->store.get());
  all.certificates.emplace(context, std::move(record));
  return context;
}

extern "C" {

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  if (pCertContext == nullptr) return TRUE;
  std::unique_ptr<CertificateRecord> record;
  {
    Tables& all = tables();
    std::lock_guard guard(all.lock);
    auto found = all.certificates.find(pCertContext);
    if (found == all.certificates.end()) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    record = std::move(found->second);
    all.certificates.erase(found);
    all.stores.erase(record->store.get());
  }
  return TRUE;
}

BOOL WINAPI CryptHashCertificate2(LPCWSTR pwszCNGHashAlgid, DWORD, void*, const BYTE* pbEncoded,
                                  DWORD cbEncoded, BYTE* pbComputedHash, DWORD* pcbComputedHash) {
  if (pwszCNGHashAlgid == nullptr || std::u16string_view(pwszCNGHashAlgid) != BCRYPT_SHA256_ALGORITHM) {
    SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
    return FALSE;
  }
  return sha256(pbEncoded, cbEncoded, pbComputedHash, pcbComputedHash);
}

// The older call: the algorithm by its number, with the system's default provider (none given).
BOOL WINAPI CryptHashCertificate(HCRYPTPROV_LEGACY hCryptProv, ALG_ID Algid, DWORD, const BYTE* pbEncoded,
                                 DWORD cbEncoded, BYTE* pbComputedHash, DWORD* pcbComputedHash) {
  if (Algid != CALG_SHA_256) {
    SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
    return FALSE;
  }
  if (hCryptProv != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // no providers here
    return FALSE;
  }
  return sha256(pbEncoded, cbEncoded, pbComputedHash, pcbComputedHash);
}

namespace {

// The system's trust store, with a reference for the caller. Reading it takes tens of
// milliseconds (the whole bundle is parsed), and the system's own chain engine keeps its stores
// open, so it is read once and kept; read afresh only when SSL_CERT_FILE or SSL_CERT_DIR name
// other places than last time (tests point them at a root of their own). Null without memory.
// The kept store goes with the library (its unloading runs the destructor), not with a leak.
struct KeptTrust {
  std::mutex lock;
  X509_STORE* store = nullptr;
  std::string places;
  ~KeptTrust() { X509_STORE_free(store); }
};

X509_STORE* system_trust() {
  static KeptTrust kept;
  const char* file = getenv("SSL_CERT_FILE");
  const char* dir = getenv("SSL_CERT_DIR");
  std::string places = std::string(file != nullptr ? file : "") + '\n' + (dir != nullptr ? dir : "") +
                       (file == nullptr ? "\n-" : "") + (dir == nullptr ? "\n-" : "");
  std::lock_guard guard(kept.lock);
  if (kept.store == nullptr || places != kept.places) {
    X509_STORE* fresh = X509_STORE_new();
    if (fresh == nullptr || X509_STORE_set_default_paths(fresh) != 1) {
      X509_STORE_free(fresh);
      return nullptr;
    }
    X509_STORE_free(kept.store);
    kept.store = fresh;
    kept.places = places;
  }
  X509_STORE_up_ref(kept.store);
  return kept.store;
}

}  // namespace

BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE, PCCERT_CONTEXT pCertContext, LPFILETIME pTime,
                                    HCERTSTORE hAdditionalStore, PCERT_CHAIN_PARA pChainPara, DWORD, LPVOID,
                                    PCCERT_CHAIN_CONTEXT* ppChainContext) {
  if (ppChainContext == nullptr || pCertContext == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *ppChainContext = nullptr;
  Certificate leaf = parse(pCertContext->pbCertEncoded, pCertContext->cbCertEncoded);
  if (!leaf) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  CertificateStack untrusted(sk_X509_new_null());
  if (hAdditionalStore != nullptr) {
    Tables& all = tables();
    std::lock_guard guard(all.lock);
    auto* store = static_cast<const CertificateStore*>(hAdditionalStore);
    if (all.stores.count(store) == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    untrusted.reset(X509_chain_up_ref(store->certificates.get()));
  }
  if (!untrusted) return FALSE;

  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> trust(system_trust(), X509_STORE_free);
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> context(X509_STORE_CTX_new(),
                                                                          X509_STORE_CTX_free);
  if (!trust || !context ||
      X509_STORE_CTX_init(context.get(), trust.get(), leaf.get(), untrusted.get()) != 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD flags = CERT_TRUST_NO_ERROR;
  X509_STORE_CTX_set_app_data(context.get(), &flags);
  X509_STORE_CTX_set_verify_cb(context.get(), collect_errors);
  if (pTime != nullptr) X509_STORE_CTX_set_time(context.get(), 0, unix_time(*pTime));
  if (asks_for_server_use(pChainPara)) X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
  if (X509_verify_cert(context.get()) != 1) flags |= CERT_TRUST_IS_PARTIAL_CHAIN;
  CertificateStack built(X509_STORE_CTX_get1_chain(context.get()));
  if (!built || sk_X509_num(built.get()) == 0) {
    built.reset(sk_X509_new_null());
    if (!built || !sk_X509_push(built.get(), leaf.get())) return FALSE;
    X509_up_ref(leaf.get());
  }

  auto chain = std::make_unique<ChainRecord>();
  int count = sk_X509_num(built.get());
  chain->elements.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    std::unique_ptr<CertificateRecord> certificate = make_record(sk_X509_value(built.get(), i));
    if (!certificate) return FALSE;
    CERT_CHAIN_ELEMENT& element = chain->elements[static_cast<size_t>(i)];
    element.cbSize = sizeof element;
    element.pCertContext = &certificate->context;
    chain->certificates.push_back(std::move(certificate));
    chain->element_pointers.push_back(&element);
  }
  // The faults are not told apart by element here: the whole chain carries them.
  chain->simple.cbSize = sizeof chain->simple;
  chain->simple.TrustStatus.dwErrorStatus = flags;
  chain->simple.cElement = static_cast<DWORD>(count);
  chain->simple.rgpElement = chain->element_pointers.data();
  chain->simple_pointer = &chain->simple;
  chain->context.cbSize = sizeof chain->context;
  chain->context.TrustStatus.dwErrorStatus = flags;
  chain->context.cChain = 1;
  chain->context.rgpChain = &chain->simple_pointer;

  const CERT_CHAIN_CONTEXT* result = &chain->context;
  Tables& all = tables();
  std::lock_guard guard(all.lock);
  all.chains.emplace(result, std::move(chain));
  *ppChainContext = result;
  return TRUE;
}

void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) {
  std::unique_ptr<ChainRecord> chain;
  Tables& all = tables();
  std::lock_guard guard(all.lock);
  auto found = all.chains.find(pChainContext);
  if (found == all.chains.end()) return;
  chain = std::move(found->second);
  all.chains.erase(found);
}

BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                             PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                             PCERT_CHAIN_POLICY_STATUS pPolicyStatus) {
  // Only the SSL policy is provided: it is the one the plug-in asks.
  if (pszPolicyOID != CERT_CHAIN_POLICY_SSL || pChainContext == nullptr || pPolicyStatus == nullptr ||
      pChainContext->cChain == 0 || pChainContext->rgpChain[0]->cElement == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  pPolicyStatus->dwError = 0;
  pPolicyStatus->lChainIndex = -1;
  pPolicyStatus->lElementIndex = -1;
  auto fail = [pPolicyStatus](HRESULT error) {
    pPolicyStatus->dwError = static_cast<DWORD>(error);
    pPolicyStatus->lChainIndex = 0;
    pPolicyStatus->lElementIndex = 0;
    return TRUE;
  };
  if (HRESULT error = chain_error(pChainContext->TrustStatus.dwErrorStatus); error != 0) return fail(error);

  PCCERT_CONTEXT leaf_context = pChainContext->rgpChain[0]->rgpElement[0]->pCertContext;
  Certificate leaf = parse(leaf_context->pbCertEncoded, leaf_context->cbCertEncoded);
  if (!leaf) return fail(TRUST_E_CERT_SIGNATURE);
  const auto* extra =
      pPolicyPara != nullptr
          ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(pPolicyPara->pvExtraPolicyPara)
          : nullptr;
  if (extra != nullptr && extra->dwAuthType == AUTHTYPE_SERVER &&
      X509_check_purpose(leaf.get(), X509_PURPOSE_SSL_SERVER, 0) != 1) {
    return fail(CERT_E_WRONG_USAGE);
  }
  // Without a server name the system checks no name either.
  if (extra != nullptr && extra->pwszServerName != nullptr) {
    std::string name;
    if (!ascii_server_name(extra->pwszServerName, name)) return fail(CERT_E_CN_NO_MATCH);
    int matched = is_ip_literal(name) ? X509_check_ip_asc(leaf.get(), name.c_str(), 0)
                                      : X509_check_host(leaf.get(), name.c_str(), name.size(),
                                                        X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr);
    if (matched != 1) return fail(CERT_E_CN_NO_MATCH);
  }
  return TRUE;
}

}  // extern "C"
