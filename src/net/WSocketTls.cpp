// TCustomWSocket: TLS on a connected stream socket (client side), driven
// by the same readiness notifications as the plain socket. OpenSSL reads
// and writes through a BIO that calls the socket's own send/recv, so the
// notifications are re-armed exactly as for plain traffic.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstdio>

#include "net/TlsServerContext.h"
#include "net/WSocket.h"

struct TTlsState {
    SSL_CTX* Ctx = nullptr;
    SSL* Ssl = nullptr;
    bool Server = false;
    bool Established = false;
    bool CloseNotifySent = false;
    // The peer closed the transport while the handshake waited for it.
    bool PeerClosed = false;

    ~TTlsState()
    {
        if (Ssl)
            SSL_free(Ssl);
        if (Ctx)
            SSL_CTX_free(Ctx);
    }
};

void TTlsStateDeleter::operator()(TTlsState* State) const { delete State; }

namespace {

SOCKET BioSocket(BIO* B) { return static_cast<TCustomWSocket*>(BIO_get_data(B))->GetHSocket(); }

int BioWrite(BIO* B, const char* Data, int Len)
{
    BIO_clear_retry_flags(B);
    int n = WSocket_send(BioSocket(B), Data, Len, 0);
    if (n < 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK)
        BIO_set_retry_write(B);
    return n;
}

int BioRead(BIO* B, char* Data, int Len)
{
    BIO_clear_retry_flags(B);
    int n = WSocket_recv(BioSocket(B), Data, Len, 0);
    if (n < 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK)
        BIO_set_retry_read(B);
    return n;
}

long BioCtrl(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* B)
{
    BIO_set_init(B, 1);
    return 1;
}

const BIO_METHOD* SocketBioMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "wsocket");
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

// The first queued OpenSSL error as text, empty when there is none.
std::string OpenSslErrorText()
{
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0)
        return std::string();
    const char* reason = ERR_reason_error_string(e);
    if (reason)
        return reason;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

// Hex digits of a fingerprint text, lower case, separators dropped.
std::string NormalizeFingerprint(const std::string& Text)
{
    std::string hex;
    for (char c : Text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

std::string CertificateFingerprint(X509* Cert, bool Colons)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!X509_digest(Cert, EVP_sha256(), md, &len))
        return std::string();
    std::string text;
    char hex[4];
    for (unsigned i = 0; i < len; ++i) {
        if (Colons && i > 0)
            text += ':';
        std::snprintf(hex, sizeof hex, Colons ? "%02X" : "%02x", md[i]);
        text += hex;
    }
    return text;
}

} // namespace

void TCustomWSocket::StartTls(const std::string& HostName)
{
    if (FHSocket == INVALID_SOCKET || FState != wsConnected || FType != SOCK_STREAM)
        throw ESocketException("StartTls: socket not connected");
    if (FTls)
        throw ESocketException("StartTls: TLS already started");
    std::unique_ptr<TTlsState, TTlsStateDeleter> st(new TTlsState);
    ERR_clear_error();
    st->Ctx = SSL_CTX_new(TLS_client_method());
    if (!st->Ctx)
        throw ESocketException("StartTls: " + OpenSslErrorText());
    SSL_CTX_set_min_proto_version(st->Ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(st->Ctx);
    SSL_CTX_set_mode(st->Ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(st->Ctx, SSL_OP_NO_RENEGOTIATION);
    // The verdict is taken when the handshake ends, before any data moves,
    // so that the failure can say why.
    SSL_CTX_set_verify(st->Ctx, SSL_VERIFY_NONE, nullptr);
    st->Ssl = SSL_new(st->Ctx);
    BIO* bio = st->Ssl ? BIO_new(SocketBioMethod()) : nullptr;
    if (!bio)
        throw ESocketException("StartTls: " + OpenSslErrorText());
    BIO_set_data(bio, this);
    SSL_set_bio(st->Ssl, bio, bio);
    SSL_set_connect_state(st->Ssl);
    if (!HostName.empty()) {
        if (IsDottedIP(HostName)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(st->Ssl), HostName.c_str());
        } else {
            SSL_set_tlsext_host_name(st->Ssl, HostName.c_str());
            SSL_set1_host(st->Ssl, HostName.c_str());
        }
    }
    if (FTlsSession)
        SSL_set_session(st->Ssl, FTlsSession.get());
    FTls = std::move(st);
    FTlsErrorText.clear();
    TlsContinueHandshake();
}

void TCustomWSocket::AcceptTls(const TTlsServerContext& Context)
{
    if (FHSocket == INVALID_SOCKET || FState != wsConnected || FType != SOCK_STREAM)
        throw ESocketException("AcceptTls: socket not connected");
    if (FTls)
        throw ESocketException("AcceptTls: TLS already started");
    std::unique_ptr<TTlsState, TTlsStateDeleter> st(new TTlsState);
    ERR_clear_error();
    st->Server = true;
    st->Ctx = Context.Handle();
    SSL_CTX_up_ref(st->Ctx);
    st->Ssl = SSL_new(st->Ctx);
    BIO* bio = st->Ssl ? BIO_new(SocketBioMethod()) : nullptr;
    if (!bio)
        throw ESocketException("AcceptTls: " + OpenSslErrorText());
    BIO_set_data(bio, this);
    SSL_set_bio(st->Ssl, bio, bio);
    SSL_set_accept_state(st->Ssl);
    FTls = std::move(st);
    FTlsErrorText.clear();
    TlsContinueHandshake();
}

TTlsSession TCustomWSocket::GetTlsSession() const
{
    if (!FTls || !FTls->Established)
        return nullptr;
    SSL_SESSION* s = SSL_get1_session(FTls->Ssl);
    if (!s)
        return nullptr;
    return TTlsSession(s, SSL_SESSION_free);
}

bool TCustomWSocket::GetTlsEstablished() const { return FTls && FTls->Established; }

bool TCustomWSocket::GetTlsSessionReused() const { return FTls && FTls->Established && SSL_session_reused(FTls->Ssl); }

void TCustomWSocket::TlsContinueHandshake()
{
    TTlsState* st = FTls.get();
    ERR_clear_error();
    int r = SSL_do_handshake(st->Ssl);
    if (r != 1) {
        int e = SSL_get_error(st->Ssl, r);
        if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && !st->PeerClosed)
            return;
        std::string why = OpenSslErrorText();
        if (why.empty() || e == SSL_ERROR_SYSCALL || e == SSL_ERROR_WANT_READ) {
            int err = WSocket_WSAGetLastError();
            why = (r == 0 || st->PeerClosed || err == 0 || err == WSAEWOULDBLOCK) ? "connection closed by the peer"
                                                                                 : WinsockErrorText(err);
        }
        TlsFail(WSA_TLS_HANDSHAKE_FAILED, "TLS handshake failed: " + why);
        return;
    }
    X509* cert = SSL_get0_peer_certificate(st->Ssl);
    if (st->Server) {
        // Clients are not asked for certificates.
    } else if (!cert) {
        TlsFail(WSA_TLS_VERIFY_FAILED, "certificate verify failed: the server sent no certificate");
        return;
    } else if (!FTlsFingerprint.empty()) {
        if (NormalizeFingerprint(FTlsFingerprint) != CertificateFingerprint(cert, false)) {
            TlsFail(WSA_TLS_VERIFY_FAILED,
                    "certificate verify failed: SHA-256 fingerprint does not match (the server's is " +
                        CertificateFingerprint(cert, true) + ")");
            return;
        }
    } else {
        long v = SSL_get_verify_result(st->Ssl);
        if (v != X509_V_OK) {
            TlsFail(WSA_TLS_VERIFY_FAILED, std::string("certificate verify failed: ") +
                                               X509_verify_cert_error_string(v) + " (SHA-256 fingerprint " +
                                               CertificateFingerprint(cert, true) + ")");
            return;
        }
    }
    st->Established = true;
    const unsigned serial = FConnSerial;
    if (OnTlsDone)
        OnTlsDone(this, 0);
    if (FConnSerial != serial || !FTls)
        return;
    // What was queued during the handshake goes now; the drain is reported
    // as for any send.
    if (!FBufList.empty()) {
        TryToSend();
        if (FConnSerial != serial)
            return;
        if (FAllSent || BufferedByteCount() == 0) {
            FAllSent = true;
            PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_WRITE, 0));
        }
    }
    TlsReannounce();
}

void TCustomWSocket::TlsFail(WORD Code, const std::string& Text)
{
    FTlsErrorText = Text;
    FLastError = Code;
    const unsigned serial = FConnSerial;
    if (OnTlsDone)
        OnTlsDone(this, Code);
    if (FConnSerial == serial && FState != wsClosed && FHSocket != INVALID_SOCKET) {
        ClearSendBuffer();
        DoClose(false, Code);
    }
}

bool TCustomWSocket::TlsNotify(WORD Event, WORD Error)
{
    if (FTls->Established)
        return false;
    if (Event & FD_CLOSE)
        FTls->PeerClosed = true;
    if (Error != 0 && (Event & FD_CLOSE)) {
        TlsFail(WSA_TLS_HANDSHAKE_FAILED, "TLS handshake failed: " + WinsockErrorText(Error));
        return true;
    }
    if (Event & (FD_READ | FD_WRITE | FD_CLOSE))
        TlsContinueHandshake();
    return true;
}

int TCustomWSocket::TlsRecv(void* Buffer, int BufferSize, int Flags)
{
    TTlsState* st = FTls.get();
    if (!st->Established) {
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    if (BufferSize <= 0)
        return 0;
    ERR_clear_error();
    int n = (Flags & MSG_PEEK) ? SSL_peek(st->Ssl, Buffer, BufferSize) : SSL_read(st->Ssl, Buffer, BufferSize);
    if (n > 0)
        return n;
    switch (SSL_get_error(st->Ssl, n)) {
    case SSL_ERROR_ZERO_RETURN:
        // The peer's close-notify; it may wait for ours before it hangs
        // up, so the connection ends here as if closed by the peer.
        if (!st->PeerClosed) {
            st->PeerClosed = true;
            PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_CLOSE, 0));
        }
        return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_SYSCALL:
        // The transport's own end or error, as recv reported it.
        if (n == 0 || WSocket_WSAGetLastError() == 0)
            return 0;
        return -1;
    default: {
        const unsigned long e = ERR_peek_error();
        // A peer that hangs up without a close-notify: an end like TCP's.
        if (ERR_GET_REASON(e) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
            ERR_clear_error();
            return 0;
        }
        FTlsErrorText = "TLS error: " + OpenSslErrorText();
        WSocket_WSASetLastError(WSAECONNABORTED);
        return -1;
    }
    }
}

int TCustomWSocket::TlsSend(const void* Data, int Len)
{
    TTlsState* st = FTls.get();
    if (!st->Established || st->CloseNotifySent) {
        WSocket_WSASetLastError(st->Established ? WSAESHUTDOWN : WSAEWOULDBLOCK);
        return -1;
    }
    if (Len <= 0)
        return 0;
    ERR_clear_error();
    int n = SSL_write(st->Ssl, Data, Len);
    if (n > 0)
        return n;
    switch (SSL_get_error(st->Ssl, n)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_SYSCALL:
        if (WSocket_WSAGetLastError() == 0)
            WSocket_WSASetLastError(WSAECONNRESET);
        return -1;
    default:
        FTlsErrorText = "TLS error: " + OpenSslErrorText();
        WSocket_WSASetLastError(WSAECONNABORTED);
        return -1;
    }
}

int TCustomWSocket::TlsPendingCount() const
{
    if (!FTls || !FTls->Established)
        return 0;
    int n = SSL_pending(FTls->Ssl);
    if (n == 0 && SSL_has_pending(FTls->Ssl))
        n = 1;
    return n;
}

void TCustomWSocket::TlsReannounce()
{
    if (FHSocket != INVALID_SOCKET && TlsPendingCount() > 0)
        PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_READ, 0));
}

void TCustomWSocket::TlsCloseNotify()
{
    if (!FTls || !FTls->Established || FTls->CloseNotifySent)
        return;
    FTls->CloseNotifySent = true;
    ERR_clear_error();
    // One call queues and sends ours; the peer's is not waited for.
    SSL_shutdown(FTls->Ssl);
    ERR_clear_error();
}

void TCustomWSocket::TlsRelease() { FTls.reset(); }
