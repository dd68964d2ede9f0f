// The certificate and key a TLS server presents, loaded once and shared by
// every connection it accepts.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

class TTlsServerContext {
public:
    // Loads CertFile (PEM: the certificate, then any chain) and KeyFile
    // (PEM private key). Throws ESocketException naming the file that is
    // missing, unreadable or not PEM, or the key that does not match.
    TTlsServerContext(const std::string& CertFile, const std::string& KeyFile);

    ssl_ctx_st* Handle() const { return FCtx.get(); }

private:
    std::shared_ptr<ssl_ctx_st> FCtx;
};
