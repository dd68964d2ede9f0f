// libssh, mapped when SFTP is first used: the functions this program
// calls, as forwarders to the library's own.
#include <libssh/libssh.h>

#include "platform/LazyLibrary.h"

namespace {
constexpr char Ssh[] = "libssh.so.4";  // the name of libssh 0.x
} // namespace

LAZY_FORWARD(Ssh, void, ssh_channel_free, (ssh_channel channel), (channel))
LAZY_FORWARD(Ssh, int, ssh_channel_is_eof, (ssh_channel channel), (channel))
LAZY_FORWARD(Ssh, ssh_channel, ssh_channel_new, (ssh_session session), (session))
LAZY_FORWARD(Ssh, int, ssh_channel_open_session, (ssh_channel channel), (channel))
LAZY_FORWARD(Ssh, int, ssh_channel_read_nonblocking, (ssh_channel channel, void* dest, uint32_t count, int is_stderr), (channel, dest, count, is_stderr))
LAZY_FORWARD(Ssh, int, ssh_channel_request_subsystem, (ssh_channel channel, const char* subsystem), (channel, subsystem))
LAZY_FORWARD(Ssh, int, ssh_channel_write, (ssh_channel channel, const void* data, uint32_t len), (channel, data, len))
LAZY_FORWARD(Ssh, void, ssh_clean_pubkey_hash, (unsigned char** hash), (hash))
LAZY_FORWARD(Ssh, int, ssh_connect, (ssh_session session), (session))
LAZY_FORWARD(Ssh, void, ssh_free, (ssh_session session), (session))
LAZY_FORWARD(Ssh, const char*, ssh_get_error, (void* error), (error))
LAZY_FORWARD(Ssh, int, ssh_get_poll_flags, (ssh_session session), (session))
LAZY_FORWARD(Ssh, int, ssh_get_publickey_hash, (const ssh_key key, enum ssh_publickey_hash_type type, unsigned char** hash, size_t* hlen), (key, type, hash, hlen))
LAZY_FORWARD(Ssh, int, ssh_get_server_publickey, (ssh_session session, ssh_key* key), (session, key))
LAZY_FORWARD(Ssh, void, ssh_key_free, (ssh_key key), (key))
LAZY_FORWARD(Ssh, ssh_session, ssh_new, (), ())
LAZY_FORWARD(Ssh, int, ssh_options_set, (ssh_session session, enum ssh_options_e type, const void* value), (session, type, value))
LAZY_FORWARD(Ssh, int, ssh_pki_import_privkey_file, (const char* filename, const char* passphrase, ssh_auth_callback auth_fn, void* auth_data, ssh_key* pkey), (filename, passphrase, auth_fn, auth_data, pkey))
LAZY_FORWARD(Ssh, enum ssh_known_hosts_e, ssh_session_is_known_server, (ssh_session session), (session))
LAZY_FORWARD(Ssh, void, ssh_set_blocking, (ssh_session session, int blocking), (session, blocking))
LAZY_FORWARD(Ssh, int, ssh_userauth_password, (ssh_session session, const char* username, const char* password), (session, username, password))
LAZY_FORWARD(Ssh, int, ssh_userauth_publickey, (ssh_session session, const char* username, const ssh_key privkey), (session, username, privkey))
