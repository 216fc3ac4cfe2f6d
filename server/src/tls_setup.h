#pragma once

#include <string>

#include <boost/asio/ssl/context.hpp>

namespace qova::server {

// A certificate for trying the server: made once in `folder` (cert.pem, key.pem 0600) for
// localhost, 127.0.0.1, ::1 and `extraName`, and kept. False with a reason when it cannot be.
bool ensureSelfSignedCertificate(const std::string& folder, const std::string& extraName, std::string& error);

// The SHA-256 of a PEM certificate file, as colon-separated hex; empty when it cannot be read.
std::string certificateFingerprint(const std::string& certificateFile);

// TLS 1.2 or later only, with the operator's certificate chain and key.
bool configureServerTls(boost::asio::ssl::context& context, const std::string& certificateFile,
                        const std::string& keyFile, std::string& error);

}  // namespace qova::server
