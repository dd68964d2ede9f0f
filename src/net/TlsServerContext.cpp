#include "net/TlsServerContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/WSocket.h"

namespace {

std::string LastOpenSslError()
{
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = e ? ERR_reason_error_string(e) : nullptr;
    return reason ? reason : "unknown error";
}

// A file that cannot be opened is named with the system's reason.
void CheckReadable(const std::string& File, const char* What)
{
    std::FILE* f = std::fopen(File.c_str(), "rb");
    if (!f)
        throw ESocketException(std::string("Cannot read the HTTPS ") + What + " " + File + ": " +
                               std::strerror(errno));
    std::fclose(f);
}

// The file holds a private key that needs no pass phrase.
bool KeyReadable(const std::string& File)
{
    std::FILE* f = std::fopen(File.c_str(), "rb");
    if (!f)
        return false;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    std::fclose(f);
    EVP_PKEY_free(key);
    return key != nullptr;
}

} // namespace

TTlsServerContext::TTlsServerContext(const std::string& CertFile, const std::string& KeyFile)
{
    CheckReadable(CertFile, "certificate");
    CheckReadable(KeyFile, "key");
    ERR_clear_error();
    FCtx.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!FCtx)
        throw ESocketException("TLS: " + LastOpenSslError());
    SSL_CTX* ctx = FCtx.get();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    if (SSL_CTX_use_certificate_chain_file(ctx, CertFile.c_str()) != 1)
        throw ESocketException("The HTTPS certificate " + CertFile + " holds no PEM certificate");
    if (!KeyReadable(KeyFile))
        throw ESocketException("The HTTPS key " + KeyFile + " holds no PEM private key without a pass phrase");
    if (SSL_CTX_use_PrivateKey_file(ctx, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1)
        throw ESocketException("The HTTPS key " + KeyFile + " does not match the certificate " + CertFile);
}
