// OpenSSL, mapped when TLS is first used: the functions this program calls,
// as forwarders to the libraries' own.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/LazyLibrary.h"

static_assert(OPENSSL_VERSION_MAJOR == 3, "the library names below are those of OpenSSL 3");

namespace {
constexpr char Ssl[] = "libssl.so.3";
constexpr char Crypto[] = "libcrypto.so.3";
} // namespace

LAZY_FORWARD(Ssl, int, SSL_CTX_check_private_key, (const SSL_CTX* ctx), (ctx))
LAZY_FORWARD(Ssl, long, SSL_CTX_ctrl, (SSL_CTX* ctx, int cmd, long larg, void* parg), (ctx, cmd, larg, parg))
LAZY_FORWARD(Ssl, void, SSL_CTX_free, (SSL_CTX* a0), (a0))
LAZY_FORWARD(Ssl, SSL_CTX*, SSL_CTX_new, (const SSL_METHOD* meth), (meth))
LAZY_FORWARD(Ssl, int, SSL_CTX_set_default_verify_paths, (SSL_CTX* ctx), (ctx))
LAZY_FORWARD(Ssl, uint64_t, SSL_CTX_set_options, (SSL_CTX* ctx, uint64_t op), (ctx, op))
LAZY_FORWARD(Ssl, void, SSL_CTX_set_verify, (SSL_CTX* ctx, int mode, SSL_verify_cb callback), (ctx, mode, callback))
LAZY_FORWARD(Ssl, int, SSL_CTX_up_ref, (SSL_CTX* ctx), (ctx))
LAZY_FORWARD(Ssl, int, SSL_CTX_use_PrivateKey_file, (SSL_CTX* ctx, const char* file, int type), (ctx, file, type))
LAZY_FORWARD(Ssl, int, SSL_CTX_use_certificate_chain_file, (SSL_CTX* ctx, const char* file), (ctx, file))
LAZY_FORWARD(Ssl, void, SSL_SESSION_free, (SSL_SESSION* ses), (ses))
LAZY_FORWARD(Ssl, long, SSL_ctrl, (SSL* ssl, int cmd, long larg, void* parg), (ssl, cmd, larg, parg))
LAZY_FORWARD(Ssl, int, SSL_do_handshake, (SSL* s), (s))
LAZY_FORWARD(Ssl, void, SSL_free, (SSL* ssl), (ssl))
LAZY_FORWARD(Ssl, X509_VERIFY_PARAM*, SSL_get0_param, (SSL* ssl), (ssl))
LAZY_FORWARD(Ssl, X509*, SSL_get0_peer_certificate, (const SSL* s), (s))
LAZY_FORWARD(Ssl, SSL_SESSION*, SSL_get1_session, (SSL* ssl), (ssl))
LAZY_FORWARD(Ssl, int, SSL_get_error, (const SSL* s, int ret_code), (s, ret_code))
LAZY_FORWARD(Ssl, long, SSL_get_verify_result, (const SSL* ssl), (ssl))
LAZY_FORWARD(Ssl, int, SSL_has_pending, (const SSL* s), (s))
LAZY_FORWARD(Ssl, SSL*, SSL_new, (SSL_CTX* ctx), (ctx))
LAZY_FORWARD(Ssl, int, SSL_peek, (SSL* ssl, void* buf, int num), (ssl, buf, num))
LAZY_FORWARD(Ssl, int, SSL_pending, (const SSL* s), (s))
LAZY_FORWARD(Ssl, int, SSL_read, (SSL* ssl, void* buf, int num), (ssl, buf, num))
LAZY_FORWARD(Ssl, int, SSL_session_reused, (const SSL* s), (s))
LAZY_FORWARD(Ssl, int, SSL_set1_host, (SSL* s, const char* hostname), (s, hostname))
LAZY_FORWARD(Ssl, void, SSL_set_accept_state, (SSL* s), (s))
LAZY_FORWARD(Ssl, void, SSL_set_bio, (SSL* s, BIO* rbio, BIO* wbio), (s, rbio, wbio))
LAZY_FORWARD(Ssl, void, SSL_set_connect_state, (SSL* s), (s))
LAZY_FORWARD(Ssl, int, SSL_set_session, (SSL* to, SSL_SESSION* session), (to, session))
LAZY_FORWARD(Ssl, int, SSL_shutdown, (SSL* s), (s))
LAZY_FORWARD(Ssl, int, SSL_write, (SSL* ssl, const void* buf, int num), (ssl, buf, num))
LAZY_FORWARD(Ssl, const SSL_METHOD*, TLS_client_method, (), ())
LAZY_FORWARD(Ssl, const SSL_METHOD*, TLS_server_method, (), ())
LAZY_FORWARD(Crypto, void, BIO_clear_flags, (BIO* b, int flags), (b, flags))
LAZY_FORWARD(Crypto, void*, BIO_get_data, (BIO* a), (a))
LAZY_FORWARD(Crypto, int, BIO_get_new_index, (), ())
LAZY_FORWARD(Crypto, BIO_METHOD*, BIO_meth_new, (int type, const char* name), (type, name))
LAZY_FORWARD(Crypto, int, BIO_meth_set_create, (BIO_METHOD* biom, int (*create)(BIO*)), (biom, create))
LAZY_FORWARD(Crypto, int, BIO_meth_set_ctrl, (BIO_METHOD* biom, long (*ctrl)(BIO*, int, long, void*)), (biom, ctrl))
LAZY_FORWARD(Crypto, int, BIO_meth_set_read, (BIO_METHOD* biom, int (*read)(BIO*, char*, int)), (biom, read))
LAZY_FORWARD(Crypto, int, BIO_meth_set_write, (BIO_METHOD* biom, int (*write)(BIO*, const char*, int)), (biom, write))
LAZY_FORWARD(Crypto, BIO*, BIO_new, (const BIO_METHOD* type), (type))
LAZY_FORWARD(Crypto, void, BIO_set_data, (BIO* a, void* ptr), (a, ptr))
LAZY_FORWARD(Crypto, void, BIO_set_flags, (BIO* b, int flags), (b, flags))
LAZY_FORWARD(Crypto, void, BIO_set_init, (BIO* a, int init), (a, init))
LAZY_FORWARD(Crypto, void, ERR_clear_error, (), ())
LAZY_FORWARD(Crypto, void, ERR_error_string_n, (unsigned long e, char* buf, size_t len), (e, buf, len))
LAZY_FORWARD(Crypto, unsigned long, ERR_peek_error, (), ())
LAZY_FORWARD(Crypto, unsigned long, ERR_peek_last_error, (), ())
LAZY_FORWARD(Crypto, const char*, ERR_reason_error_string, (unsigned long e), (e))
LAZY_FORWARD(Crypto, void, EVP_PKEY_free, (EVP_PKEY* pkey), (pkey))
LAZY_FORWARD(Crypto, const EVP_MD*, EVP_sha256, (), ())
LAZY_FORWARD(Crypto, EVP_PKEY*, PEM_read_PrivateKey, (FILE* out, EVP_PKEY** x, pem_password_cb* cb, void* u), (out, x, cb, u))
LAZY_FORWARD(Crypto, int, X509_VERIFY_PARAM_set1_ip_asc, (X509_VERIFY_PARAM* param, const char* ipasc), (param, ipasc))
LAZY_FORWARD(Crypto, int, X509_digest, (const X509* data, const EVP_MD* type, unsigned char* md, unsigned int* len), (data, type, md, len))
LAZY_FORWARD(Crypto, const char*, X509_verify_cert_error_string, (long n), (n))
