// The system TLS calls the plug-in makes on Windows (SChannel through secur32's SSPI, and the
// certificate checks of crypt32), declared for Linux under their Windows names, types and values;
// platform/linux/sspi.cpp and platform/linux/certificates.cpp provide them over OpenSSL.
// Included from platform/win32.h only, after its basic types.
//
// The declarations are as strict as the system's: structures carry the real field names, the
// package and target names are non-const WCHAR pointers (the caller casts, as it must with the
// system headers), the status codes are negative LONGs like the system's HRESULTs, and
// SecInvalidateHandle is the same two statements without braces.
#pragma once

#define TRUE 1
#define FALSE 0

typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef uintptr_t ULONG_PTR;
typedef LONG HRESULT;
typedef WCHAR SEC_WCHAR;
typedef LONG SECURITY_STATUS;
typedef unsigned int ALG_ID;
typedef void* HCERTSTORE;
typedef void* HCERTCHAINENGINE;

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};

// ---- secur32 (SSPI) ----

struct SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
};
typedef SecHandle* PSecHandle;
typedef SecHandle CredHandle;
typedef PSecHandle PCredHandle;
typedef SecHandle CtxtHandle;
typedef PSecHandle PCtxtHandle;

#define SecInvalidateHandle(x)                           \
  ((PSecHandle)x)->dwLower = ((ULONG_PTR)((INT_PTR)-1)); \
  ((PSecHandle)x)->dwUpper = ((ULONG_PTR)((INT_PTR)-1));
#define SecIsValidHandle(x)                                    \
  ((((PSecHandle)x)->dwLower != ((ULONG_PTR)((INT_PTR)-1))) && \
   (((PSecHandle)x)->dwUpper != ((ULONG_PTR)((INT_PTR)-1))))

typedef LARGE_INTEGER SECURITY_INTEGER;
typedef SECURITY_INTEGER TimeStamp;
typedef SECURITY_INTEGER* PTimeStamp;

struct SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};
typedef SecBuffer* PSecBuffer;

struct SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
};
typedef SecBufferDesc* PSecBufferDesc;

struct SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
};
typedef SecPkgContext_StreamSizes* PSecPkgContext_StreamSizes;

typedef void(WINAPI* SEC_GET_KEY_FN)(void* Arg, void* Principal, ULONG KeyVer, void** Key,
                                     SECURITY_STATUS* Status);

#define SECBUFFER_VERSION 0
#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_MISSING 4
#define SECBUFFER_EXTRA 5
#define SECBUFFER_STREAM_TRAILER 6
#define SECBUFFER_STREAM_HEADER 7
#define SECBUFFER_ALERT 17

#define SECURITY_NATIVE_DREP 0x00000010
#define SECPKG_CRED_INBOUND 0x00000001
#define SECPKG_CRED_OUTBOUND 0x00000002

#define ISC_REQ_REPLAY_DETECT 0x00000004
#define ISC_REQ_SEQUENCE_DETECT 0x00000008
#define ISC_REQ_CONFIDENTIALITY 0x00000010
#define ISC_REQ_USE_SUPPLIED_CREDS 0x00000080
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100
#define ISC_REQ_EXTENDED_ERROR 0x00004000
#define ISC_REQ_STREAM 0x00008000
#define ISC_REQ_MANUAL_CRED_VALIDATION 0x00080000
#define ISC_RET_REPLAY_DETECT 0x00000004
#define ISC_RET_SEQUENCE_DETECT 0x00000008
#define ISC_RET_CONFIDENTIALITY 0x00000010
#define ISC_RET_ALLOCATED_MEMORY 0x00000100
#define ISC_RET_EXTENDED_ERROR 0x00004000
#define ISC_RET_STREAM 0x00008000
#define ISC_RET_MANUAL_CRED_VALIDATION 0x00080000

#define SECPKG_ATTR_STREAM_SIZES 4
#define SECPKG_ATTR_REMOTE_CERT_CONTEXT 0x53

#define SEC_E_OK ((HRESULT)0x00000000)
#define SEC_I_CONTINUE_NEEDED ((HRESULT)0x00090312)
#define SEC_I_CONTEXT_EXPIRED ((HRESULT)0x00090317)
#define SEC_I_INCOMPLETE_CREDENTIALS ((HRESULT)0x00090320)
#define SEC_I_RENEGOTIATE ((HRESULT)0x00090321)
#define SEC_E_INSUFFICIENT_MEMORY ((HRESULT)0x80090300)
#define SEC_E_INVALID_HANDLE ((HRESULT)0x80090301)
#define SEC_E_UNSUPPORTED_FUNCTION ((HRESULT)0x80090302)
#define SEC_E_INTERNAL_ERROR ((HRESULT)0x80090304)
#define SEC_E_SECPKG_NOT_FOUND ((HRESULT)0x80090305)
#define SEC_E_INVALID_TOKEN ((HRESULT)0x80090308)
#define SEC_E_UNKNOWN_CREDENTIALS ((HRESULT)0x8009030D)
#define SEC_E_MESSAGE_ALTERED ((HRESULT)0x8009030F)
#define SEC_E_CONTEXT_EXPIRED ((HRESULT)0x80090317)
#define SEC_E_INCOMPLETE_MESSAGE ((HRESULT)0x80090318)
#define SEC_E_BUFFER_TOO_SMALL ((HRESULT)0x80090321)
#define SEC_E_WRONG_PRINCIPAL ((HRESULT)0x80090322)
#define SEC_E_UNTRUSTED_ROOT ((HRESULT)0x80090325)
#define SEC_E_ILLEGAL_MESSAGE ((HRESULT)0x80090326)
#define SEC_E_CERT_EXPIRED ((HRESULT)0x80090328)
#define SEC_E_DECRYPT_FAILURE ((HRESULT)0x80090330)
#define SEC_E_ALGORITHM_MISMATCH ((HRESULT)0x80090331)
#define SEC_E_INVALID_PARAMETER ((HRESULT)0x8009035D)

// ---- crypt32 ----

typedef ULONG_PTR HCRYPTPROV_LEGACY;

#define X509_ASN_ENCODING 0x00000001
#define PKCS_7_ASN_ENCODING 0x00010000
#define BCRYPT_SHA256_ALGORITHM u"SHA256"
#define CALG_SHA_256 0x0000800c

struct CERT_INFO;  // never filled here: the DER in pbCertEncoded is all a caller gets
typedef CERT_INFO* PCERT_INFO;

struct CERT_CONTEXT {
  DWORD dwCertEncodingType;
  BYTE* pbCertEncoded;
  DWORD cbCertEncoded;
  PCERT_INFO pCertInfo;
  HCERTSTORE hCertStore;
};
typedef CERT_CONTEXT* PCERT_CONTEXT;
typedef const CERT_CONTEXT* PCCERT_CONTEXT;

struct CTL_USAGE {
  DWORD cUsageIdentifier;
  LPSTR* rgpszUsageIdentifier;
};
typedef CTL_USAGE CERT_ENHKEY_USAGE;
typedef CTL_USAGE* PCERT_ENHKEY_USAGE;

struct CERT_USAGE_MATCH {
  DWORD dwType;
  CERT_ENHKEY_USAGE Usage;
};

struct CERT_CHAIN_PARA {
  DWORD cbSize;
  CERT_USAGE_MATCH RequestedUsage;
};
typedef CERT_CHAIN_PARA* PCERT_CHAIN_PARA;

struct CERT_TRUST_STATUS {
  DWORD dwErrorStatus;
  DWORD dwInfoStatus;
};

struct CERT_REVOCATION_INFO;
struct CERT_TRUST_LIST_INFO;

struct CERT_CHAIN_ELEMENT {
  DWORD cbSize;
  PCCERT_CONTEXT pCertContext;
  CERT_TRUST_STATUS TrustStatus;
  CERT_REVOCATION_INFO* pRevocationInfo;
  PCERT_ENHKEY_USAGE pIssuanceUsage;
  PCERT_ENHKEY_USAGE pApplicationUsage;
  LPCWSTR pwszExtendedErrorInfo;
};
typedef CERT_CHAIN_ELEMENT* PCERT_CHAIN_ELEMENT;

struct CERT_SIMPLE_CHAIN {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cElement;
  PCERT_CHAIN_ELEMENT* rgpElement;
  CERT_TRUST_LIST_INFO* pTrustListInfo;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
};
typedef CERT_SIMPLE_CHAIN* PCERT_SIMPLE_CHAIN;

struct CERT_CHAIN_CONTEXT;
typedef const CERT_CHAIN_CONTEXT* PCCERT_CHAIN_CONTEXT;
struct CERT_CHAIN_CONTEXT {
  DWORD cbSize;
  CERT_TRUST_STATUS TrustStatus;
  DWORD cChain;
  PCERT_SIMPLE_CHAIN* rgpChain;
  DWORD cLowerQualityChainContext;
  PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
  BOOL fHasRevocationFreshnessTime;
  DWORD dwRevocationFreshnessTime;
  DWORD dwCreateFlags;
  GUID ChainId;
};
typedef CERT_CHAIN_CONTEXT* PCERT_CHAIN_CONTEXT;

struct CERT_CHAIN_POLICY_PARA {
  DWORD cbSize;
  DWORD dwFlags;
  void* pvExtraPolicyPara;
};
typedef CERT_CHAIN_POLICY_PARA* PCERT_CHAIN_POLICY_PARA;

struct CERT_CHAIN_POLICY_STATUS {
  DWORD cbSize;
  DWORD dwError;
  LONG lChainIndex;
  LONG lElementIndex;
  void* pvExtraPolicyStatus;
};
typedef CERT_CHAIN_POLICY_STATUS* PCERT_CHAIN_POLICY_STATUS;

struct HTTPSPolicyCallbackData {
  union {
    DWORD cbStruct;
    DWORD cbSize;
  };
  DWORD dwAuthType;
  DWORD fdwChecks;
  WCHAR* pwszServerName;
};
typedef HTTPSPolicyCallbackData SSL_EXTRA_CERT_CHAIN_POLICY_PARA;
typedef HTTPSPolicyCallbackData* PSSL_EXTRA_CERT_CHAIN_POLICY_PARA;

#define USAGE_MATCH_TYPE_AND 0x0
#define USAGE_MATCH_TYPE_OR 0x1
#define szOID_PKIX_KP_SERVER_AUTH "1.3.6.1.5.5.7.3.1"
#define CERT_CHAIN_POLICY_SSL (reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(4)))
#define AUTHTYPE_CLIENT 1
#define AUTHTYPE_SERVER 2

#define CERT_TRUST_NO_ERROR 0x00000000
#define CERT_TRUST_IS_NOT_TIME_VALID 0x00000001
#define CERT_TRUST_IS_NOT_SIGNATURE_VALID 0x00000008
#define CERT_TRUST_IS_NOT_VALID_FOR_USAGE 0x00000010
#define CERT_TRUST_IS_UNTRUSTED_ROOT 0x00000020
#define CERT_TRUST_INVALID_BASIC_CONSTRAINTS 0x00000400
#define CERT_TRUST_IS_PARTIAL_CHAIN 0x00010000

#define CERT_E_EXPIRED ((HRESULT)0x800B0101)
#define CERT_E_UNTRUSTEDROOT ((HRESULT)0x800B0109)
#define CERT_E_CHAINING ((HRESULT)0x800B010A)
#define CERT_E_CN_NO_MATCH ((HRESULT)0x800B010F)
#define CERT_E_WRONG_USAGE ((HRESULT)0x800B0110)
#define TRUST_E_CERT_SIGNATURE ((HRESULT)0x80096004)
#define TRUST_E_BASIC_CONSTRAINTS ((HRESULT)0x80096019)
#define NTE_BAD_ALGID ((HRESULT)0x80090008)
#define ERROR_MORE_DATA 234u

// ---- schannel ----

#define SCHANNEL_NAME_W u"Schannel"
#define SCHANNEL_CRED_VERSION 0x00000004
#define SP_PROT_TLS1_2_SERVER 0x00000400
#define SP_PROT_TLS1_2_CLIENT 0x00000800
#define SP_PROT_TLS1_3_SERVER 0x00001000
#define SP_PROT_TLS1_3_CLIENT 0x00002000
#define SCH_CRED_MANUAL_CRED_VALIDATION 0x00000008
#define SCH_CRED_NO_DEFAULT_CREDS 0x00000010
#define SCH_USE_STRONG_CRYPTO 0x00400000
// The control token of ApplyControlToken that makes the next InitializeSecurityContextW write
// the close_notify alert.
#define SCHANNEL_SHUTDOWN 1

struct _HMAPPER;

struct SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  struct _HMAPPER** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
};
typedef SCHANNEL_CRED* PSCHANNEL_CRED;

extern "C" {
SECURITY_STATUS WINAPI AcquireCredentialsHandleW(SEC_WCHAR* pszPrincipal, SEC_WCHAR* pszPackage,
                                                 ULONG fCredentialUse, void* pvLogonId, void* pAuthData,
                                                 SEC_GET_KEY_FN pGetKeyFn, void* pvGetKeyArgument,
                                                 PCredHandle phCredential, PTimeStamp ptsExpiry);
SECURITY_STATUS WINAPI FreeCredentialsHandle(PCredHandle phCredential);
SECURITY_STATUS WINAPI InitializeSecurityContextW(PCredHandle phCredential, PCtxtHandle phContext,
                                                  SEC_WCHAR* pszTargetName, ULONG fContextReq,
                                                  ULONG Reserved1, ULONG TargetDataRep, PSecBufferDesc pInput,
                                                  ULONG Reserved2, PCtxtHandle phNewContext,
                                                  PSecBufferDesc pOutput, ULONG* pfContextAttr,
                                                  PTimeStamp ptsExpiry);
SECURITY_STATUS WINAPI DeleteSecurityContext(PCtxtHandle phContext);
SECURITY_STATUS WINAPI ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput);
SECURITY_STATUS WINAPI QueryContextAttributesW(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer);
SECURITY_STATUS WINAPI FreeContextBuffer(void* pvContextBuffer);
SECURITY_STATUS WINAPI EncryptMessage(PCtxtHandle phContext, ULONG fQOP, PSecBufferDesc pMessage,
                                      ULONG MessageSeqNo);
SECURITY_STATUS WINAPI DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG MessageSeqNo,
                                      ULONG* pfQOP);

BOOL WINAPI CertGetCertificateChain(HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
                                    LPFILETIME pTime, HCERTSTORE hAdditionalStore,
                                    PCERT_CHAIN_PARA pChainPara, DWORD dwFlags, LPVOID pvReserved,
                                    PCCERT_CHAIN_CONTEXT* ppChainContext);
BOOL WINAPI CertVerifyCertificateChainPolicy(LPCSTR pszPolicyOID, PCCERT_CHAIN_CONTEXT pChainContext,
                                             PCERT_CHAIN_POLICY_PARA pPolicyPara,
                                             PCERT_CHAIN_POLICY_STATUS pPolicyStatus);
void WINAPI CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext);
BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL WINAPI CryptHashCertificate(HCRYPTPROV_LEGACY hCryptProv, ALG_ID Algid, DWORD dwFlags,
                                 const BYTE* pbEncoded, DWORD cbEncoded, BYTE* pbComputedHash,
                                 DWORD* pcbComputedHash);
// Newer than the oldest Windows the host runs on: callers find it through GetProcAddress.
BOOL WINAPI CryptHashCertificate2(LPCWSTR pwszCNGHashAlgid, DWORD dwFlags, void* pvReserved,
                                  const BYTE* pbEncoded, DWORD cbEncoded, BYTE* pbComputedHash,
                                  DWORD* pcbComputedHash);
}  // extern "C"
