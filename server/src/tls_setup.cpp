#include "tls_setup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace qova::server {

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool addExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  if (!extension) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

}  // namespace

bool ensureSelfSignedCertificate(const std::string& folder, const std::string& extraName, std::string& error) {
  const auto certPath = folder + "/cert.pem";
  const auto keyPath = folder + "/key.pem";
  if (exists(certPath) && exists(keyPath)) return true;
  ::mkdir(folder.c_str(), 0700);
  // P-256: every browser accepts it, unlike Ed25519 certificates.
  Key key(EVP_EC_gen("P-256"));
  Certificate certificate(X509_new());
  if (!key || !certificate) return error = "cannot make a key", false;
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), static_cast<long>(::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 60L * 60 * 24 * 825);
  X509_set_pubkey(certificate.get(), key.get());
  auto* name = X509_get_subject_name(certificate.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("qova-server"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), name);
  std::string names = "DNS:localhost,IP:127.0.0.1,IP:::1";
  if (!extraName.empty()) names += (extraName.find_first_not_of("0123456789.:") == std::string::npos ? ",IP:" : ",DNS:") + extraName;
  if (!addExtension(certificate.get(), NID_subject_alt_name, names) ||
      !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !X509_sign(certificate.get(), key.get(), EVP_sha256())) {
    return error = "cannot make the certificate", false;
  }
  // The key is readable by the server's user only, from the moment it exists.
  const int keyFd = ::open(keyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  File keyFile(keyFd >= 0 ? ::fdopen(keyFd, "w") : nullptr, std::fclose);
  File certFile(std::fopen(certPath.c_str(), "w"), std::fclose);
  if (!keyFile || !certFile || PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_X509(certFile.get(), certificate.get()) != 1) {
    return error = "cannot write " + folder, false;
  }
  return true;
}

std::string certificateFingerprint(const std::string& certificateFile) {
  File file(std::fopen(certificateFile.c_str(), "r"), std::fclose);
  if (!file) return {};
  Certificate certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &size) != 1) return {};
  std::string text;
  char byte[4];
  for (unsigned i = 0; i < size; ++i) {
    std::snprintf(byte, sizeof byte, i ? ":%02X" : "%02X", digest[i]);
    text += byte;
  }
  return text;
}

bool configureServerTls(boost::asio::ssl::context& context, const std::string& certificateFile,
                        const std::string& keyFile, std::string& error) {
  SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION);
  context.set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_compression |
                      boost::asio::ssl::context::single_dh_use);
  boost::system::error_code ec;
  context.use_certificate_chain_file(certificateFile, ec);
  if (!ec) context.use_private_key_file(keyFile, boost::asio::ssl::context::pem, ec);
  if (ec) return error = certificateFile + " / " + keyFile + ": " + ec.message(), false;
  return true;
}

}  // namespace qova::server
