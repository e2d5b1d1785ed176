// For tests: the Linux calls answer as the oldest Windows the host runs on does, whose TLS speaks
// nothing newer than TLS 1.0 (AcquireCredentialsHandleW refuses TLS 1.2 and 1.3) and whose crypt32
// has no CryptHashCertificate2 (GetProcAddress finds none). Off unless a test turns it on.
#pragma once

void platform_pretend_older_windows(bool older);
bool platform_pretends_older_windows();
