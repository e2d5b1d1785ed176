// What the TLS calls (platform/linux/sspi.cpp) share with the certificate calls
// (platform/linux/certificates.cpp): the peer's certificate in the form the system hands it out,
// and the reading of a server name.
#pragma once

#include <openssl/ssl.h>

#include <string>

#include "platform/win32.h"

// The peer's leaf certificate as a CERT_CONTEXT (freed with CertFreeCertificateContext) whose
// hCertStore holds the chain the peer sent; nullptr when the peer sent none.
PCCERT_CONTEXT certificate_context_of_peer(SSL* ssl);

// A server name as ASCII text. Host names on the wire are ASCII (IDNA), so a name with any other
// character is refused: false, and no SNI or name match is made from it.
bool ascii_server_name(const WCHAR* wide, std::string& out);

// An IPv4 or IPv6 literal, which is matched against the certificate's addresses and never sent as SNI.
bool is_ip_literal(const std::string& name);
