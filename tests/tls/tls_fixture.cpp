#include "tls/tls_fixture.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

constexpr int CLIENT_TIMEOUT_S = 10;
constexpr auto EXCHANGE_DEADLINE = std::chrono::seconds(60);

std::string pem_of(X509 *certificate) {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  BUF_MEM *text = nullptr;
  BIO_get_mem_ptr(bio, &text);
  std::string result(text->data, text->length);
  BIO_free(bio);
  return result;
}

std::string pem_of(EVP_PKEY *key) {
  BIO *bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  BUF_MEM *text = nullptr;
  BIO_get_mem_ptr(bio, &text);
  std::string result(text->data, text->length);
  BIO_free(bio);
  return result;
}

void add_extension(X509 *certificate, X509 *issuer, int nid, const char *value) {
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// Signed by `issuer_key`; a null `issuer` makes it self-signed.
X509 *new_certificate(const std::string &name, EVP_PKEY *key, X509 *issuer, EVP_PKEY *issuer_key, bool ca,
                      long valid_from, long valid_until) {
  static long serial = 1;
  X509 *certificate = X509_new();
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
  X509_gmtime_adj(X509_getm_notBefore(certificate), valid_from);
  X509_gmtime_adj(X509_getm_notAfter(certificate), valid_until);
  X509_set_pubkey(certificate, key);
  X509_NAME *subject = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(name.c_str()), -1, -1,
                             0);
  X509_set_issuer_name(certificate, issuer != nullptr ? X509_get_subject_name(issuer) : subject);
  X509 *signer = issuer != nullptr ? issuer : certificate;
  add_extension(certificate, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) {
    add_extension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  }
  X509_sign(certificate, issuer_key != nullptr ? issuer_key : key, EVP_sha256());
  return certificate;
}

void set_timeouts(int fd) {
  timeval limit{CLIENT_TIMEOUT_S, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

certificate_files make_certificate(const certificate_options &options) {
  certificate_files files;
  EVP_PKEY *root_key = EVP_EC_gen("P-256");
  X509 *root = new_certificate("relayhub test root", root_key, nullptr, nullptr, true, -86400, 365L * 86400);
  files.root = pem_of(root);

  std::vector<X509 *> cas;
  std::vector<EVP_PKEY *> keys{root_key};
  X509 *issuer = root;
  EVP_PKEY *issuer_key = root_key;
  for (int i = 0; i < options.intermediates; ++i) {
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *ca =
        new_certificate("relayhub test ca " + std::to_string(i), key, issuer, issuer_key, true, -86400, 365L * 86400);
    cas.push_back(ca);
    keys.push_back(key);
    issuer = ca;
    issuer_key = key;
  }
  EVP_PKEY *leaf_key = EVP_EC_gen("P-256");
  X509 *leaf = new_certificate(options.common_name, leaf_key, issuer, issuer_key, false, options.valid_from,
                               options.valid_until);
  keys.push_back(leaf_key);

  files.pem = pem_of(leaf);
  for (auto it = cas.rbegin(); it != cas.rend(); ++it) {
    files.pem += pem_of(*it);
  }
  if (options.key_matches) {
    files.pem += pem_of(leaf_key);
  } else {
    EVP_PKEY *other = EVP_EC_gen("P-256");
    files.pem += pem_of(other);
    EVP_PKEY_free(other);
  }

  X509_free(leaf);
  for (X509 *ca : cas) {
    X509_free(ca);
  }
  X509_free(root);
  for (EVP_PKEY *key : keys) {
    EVP_PKEY_free(key);
  }
  return files;
}

bool write_text_file(const std::string &path, const std::string &text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  return static_cast<bool>(file);
}

scoped_work_directory::scoped_work_directory() {
  previous = std::filesystem::current_path().string();
  std::string pattern_path = (std::filesystem::temp_directory_path() / "relayhub-tls-XXXXXX").string();
  if (mkdtemp(pattern_path.data()) != nullptr) {
    path = pattern_path;
    std::filesystem::current_path(path);
  }
}

scoped_work_directory::~scoped_work_directory() {
  std::filesystem::current_path(previous);
  if (!path.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
}

uint8_t pattern_byte(uint32_t stream, uint64_t i) {
  uint64_t x = (i + 1) * 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(stream) + 1) * 0xC2B2AE3D27D4EB4Full;
  x ^= x >> 29;
  return static_cast<uint8_t>(x);
}

std::vector<uint8_t> pattern(uint32_t stream, size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) {
    data[i] = pattern_byte(stream, i);
  }
  return data;
}

bool descriptor_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

bool linger_resets(int fd) {
  struct linger value {};
  socklen_t size = sizeof value;
  return getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &size) == 0 && value.l_onoff != 0 && value.l_linger == 0;
}

int current_thread_id() {
  return static_cast<int>(gettid());
}

bool wait_until_sleeping(int thread_id) {
  std::string path = "/proc/self/task/" + std::to_string(thread_id) + "/stat";
  // Generous: sanitizer builds on a loaded machine are slow to get there.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream file(path);
    std::string stat;
    std::getline(file, stat);
    // The state follows the command name, which is in parentheses.
    size_t end = stat.rfind(')');
    if (end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S') {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

test_client::~test_client() {
  close();
}

bool test_client::connect(uint16_t port) {
  fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  set_timeouts(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

void test_client::limit_receive_buffer(int size) {
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

bool test_client::handshake(const std::string &root_pem, int max_version) {
  ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_max_proto_version(ctx, max_version);
  BIO *bio = BIO_new_mem_buf(root_pem.data(), static_cast<int>(root_pem.size()));
  X509 *root = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), root);
  X509_free(root);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  return SSL_connect(ssl) == 1 && SSL_get_verify_result(ssl) == X509_V_OK;
}

int test_client::peer_chain_length() {
  STACK_OF(X509) *chain = SSL_get_peer_cert_chain(ssl);
  return chain != nullptr ? sk_X509_num(chain) : 0;
}

bool test_client::write(const void *data, size_t size) {
  const char *at = static_cast<const char *>(data);
  while (size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    int sent = ssl != nullptr ? SSL_write(ssl, at, chunk) : static_cast<int>(::send(fd, at, chunk, MSG_NOSIGNAL));
    if (sent <= 0) {
      return false;
    }
    at += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool test_client::write_records(const std::vector<std::vector<uint8_t>> &records) {
  int on = 1;
  int off = 0;
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
  bool written = true;
  for (const auto &record : records) {
    written = written && write(record);
  }
  setsockopt(fd, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  return written;
}

bool test_client::read_exact(void *buffer, size_t size) {
  char *at = static_cast<char *>(buffer);
  while (size > 0) {
    int chunk = static_cast<int>(std::min<size_t>(size, INT_MAX));
    int got = ssl != nullptr ? SSL_read(ssl, at, chunk) : static_cast<int>(::recv(fd, at, chunk, 0));
    if (got <= 0) {
      return false;
    }
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

std::vector<uint8_t> test_client::read_exact(size_t size) {
  std::vector<uint8_t> data(size);
  if (!read_exact(data.data(), size)) {
    data.clear();
  }
  return data;
}

bool test_client::reads_end() {
  char byte;
  if (ssl != nullptr) {
    int got = SSL_read(ssl, &byte, 1);
    // A receive time-out shows as a want-read; anything else is the end.
    int code = SSL_get_error(ssl, got);
    return got <= 0 && code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE;
  }
  ssize_t got = ::recv(fd, &byte, 1, 0);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

bool test_client::close_notify() {
  return ssl != nullptr && SSL_shutdown(ssl) >= 0;
}

bool test_client::exchange(const std::vector<uint8_t> &out, size_t in_size, std::vector<uint8_t> &in,
                           size_t key_update_every) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  in.assign(in_size, 0);
  size_t sent = 0;
  size_t got = 0;
  size_t next_update = key_update_every;
  auto deadline = std::chrono::steady_clock::now() + EXCHANGE_DEADLINE;
  while ((sent < out.size() || got < in_size) && std::chrono::steady_clock::now() < deadline) {
    bool progress = false;
    short wanted = 0;
    if (got < in_size) {
      int n = SSL_read(ssl, in.data() + got, static_cast<int>(std::min<size_t>(in_size - got, 1 << 20)));
      if (n > 0) {
        got += static_cast<size_t>(n);
        progress = true;
      } else {
        int code = SSL_get_error(ssl, n);
        if (code == SSL_ERROR_WANT_READ) {
          wanted |= POLLIN;
        } else if (code == SSL_ERROR_WANT_WRITE) {
          wanted |= POLLOUT;
        } else {
          return false;
        }
      }
    }
    if (sent < out.size()) {
      if (key_update_every > 0 && sent >= next_update) {
        SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED);
        next_update += key_update_every;
      }
      int n = SSL_write(ssl, out.data() + sent, static_cast<int>(std::min<size_t>(out.size() - sent, 1 << 16)));
      if (n > 0) {
        sent += static_cast<size_t>(n);
        progress = true;
      } else {
        int code = SSL_get_error(ssl, n);
        if (code == SSL_ERROR_WANT_WRITE) {
          wanted |= POLLOUT;
        } else if (code == SSL_ERROR_WANT_READ) {
          wanted |= POLLIN;
        } else {
          return false;
        }
      }
    }
    if (!progress) {
      pollfd waiting{fd, wanted, 0};
      poll(&waiting, 1, 100);
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return sent == out.size() && got == in_size;
}

void test_client::close() {
  if (ssl != nullptr) {
    SSL_free(ssl);
    ssl = nullptr;
  }
  if (ctx != nullptr) {
    SSL_CTX_free(ctx);
    ctx = nullptr;
  }
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}
