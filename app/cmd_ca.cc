// cvie ca create|export|remove|show: the local certificate authority the proxy
// signs its certificates with when HTTPS filtering is on. Its key stays in the
// per-user folder (readable by the user only) and is never printed.

#include <stdio.h>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

#include "command.h"
#include "https/local_ca.h"
#include "platform/files.h"
#include "platform/text.h"

namespace cvie::app {
namespace {

std::string TimeText(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return "";
  std::string text;
  if (ASN1_TIME_print(bio, time) == 1) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    if (size > 0) text.assign(data, static_cast<size_t>(size));
  }
  BIO_free(bio);
  return text;
}

std::string NameText(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return "";
  std::string text;
  if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    if (size > 0) text.assign(data, static_cast<size_t>(size));
  }
  BIO_free(bio);
  return text;
}

CommandRun SetupCreate(CLI::App* sub) {
  auto days = std::make_shared<int>(365);
  sub->add_option("--days", *days, "Days the certificate is valid (1 to 3650)")
      ->capture_default_str();
  return [days] {
    if (*days < 1 || *days > 3650) return UsageError("--days must be 1 to 3650");
    std::string error;
    if (!https::CreateLocalCa(*days, &error)) return Fail(error);
    std::unique_ptr<https::LocalCa> ca = https::LocalCa::Load(&error);
    if (!ca) return Fail(error);
    printf("Created the local CA \"Corvane Filter Local CA\", valid %d days.\n", *days);
    printf("Certificate: %s\n",
           platform::ToNarrow(https::LocalCaCertificatePath()).c_str());
    printf("SPKI SHA-256: %s\n", ca->SpkiSha256Base64().c_str());
    printf(
        "Import the certificate into your browser as a trusted authority for web "
        "sites\n(cvie ca export FILE writes a copy), then run: cvie https on\n");
    return 0;
  };
}

CommandRun SetupExport(CLI::App* sub) {
  auto file = std::make_shared<std::string>();
  sub->add_option("FILE", *file, "Where to write the certificate (default: stdout)");
  return [file] {
    std::string error;
    if (!https::ExportLocalCa(platform::ToWide(*file), &error)) return Fail(error);
    if (!file->empty()) printf("Wrote the local CA certificate to %s\n", file->c_str());
    return 0;
  };
}

CommandRun SetupRemove(CLI::App*) {
  return [] {
    const std::wstring files[] = {https::LocalCaCertificatePath(),
                                  https::LocalCaKeyPath()};
    bool present[2] = {platform::PathExists(files[0]), platform::PathExists(files[1])};
    std::string error;
    if (!https::RemoveLocalCa(&error)) return Fail(error);
    if (!present[0] && !present[1]) {
      printf("There was no local CA to remove.\n");
      return 0;
    }
    for (int i = 0; i < 2; ++i) {
      if (present[i]) printf("Removed %s\n", platform::ToNarrow(files[i]).c_str());
    }
    printf(
        "Also remove \"Corvane Filter Local CA\" from your browser's trusted "
        "authorities.\n");
    return 0;
  };
}

CommandRun SetupShow(CLI::App*) {
  return [] {
    std::string error;
    std::unique_ptr<https::LocalCa> ca = https::LocalCa::Load(&error);
    if (!ca) return Fail(error);
    const X509* cert = ca->Certificate();
    printf("Certificate: %s\n",
           platform::ToNarrow(https::LocalCaCertificatePath()).c_str());
    printf("Subject: %s\n", NameText(X509_get_subject_name(cert)).c_str());
    printf("Valid from: %s\n", TimeText(X509_get0_notBefore(cert)).c_str());
    printf("Valid until: %s\n", TimeText(X509_get0_notAfter(cert)).c_str());
    printf("SPKI SHA-256: %s\n", ca->SpkiSha256Base64().c_str());
    return 0;
  };
}

CommandRegistrar kCreate(
    "ca create", "Make the local CA (an EC P-256 key and a self-signed certificate)",
    SetupCreate);
CommandRegistrar kExport("ca export",
                         "Write the local CA certificate (PEM) to FILE or stdout",
                         SetupExport);
CommandRegistrar kRemove("ca remove", "Delete the local CA's key and certificate",
                         SetupRemove);
CommandRegistrar kShow("ca show", "Print the local CA's subject, validity and SPKI hash",
                       SetupShow);

}  // namespace
}  // namespace cvie::app
