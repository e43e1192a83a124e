#include "net/testing/test_authority.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace vexa {

namespace {

const char kKeyOptions[] = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
const char kLoopbackNames[] = "subjectAltName=IP:127.0.0.1,DNS:localhost";

}  // namespace

TestAuthority::TestAuthority(const std::string& extra_ip) {
  std::random_device rd;
  dir_ = (std::filesystem::temp_directory_path() /
          ("vexa-ca-" + std::to_string(rd()) + std::to_string(rd())))
             .string();
  std::filesystem::create_directories(dir_);
  {
    std::ofstream(dir_ + "/index.txt");
    std::ofstream(dir_ + "/serial") << "1000\n";
    std::ofstream config(dir_ + "/ca.cnf");
    config << "[ca]\ndefault_ca = test_ca\n"
              "[test_ca]\ndatabase = "
           << dir_ << "/index.txt\nnew_certs_dir = " << dir_ << "\nserial = " << dir_
           << "/serial\ndefault_md = sha256\npolicy = any_name\nunique_subject = no\n"
              "[any_name]\ncommonName = supplied\n";
    std::ofstream(dir_ + "/loopback.ext")
        << "basicConstraints=CA:FALSE\n"
        << kLoopbackNames << (extra_ip.empty() ? "" : ",IP:" + extra_ip) << "\n";
    std::ofstream(dir_ + "/other.ext")
        << "basicConstraints=CA:FALSE\nsubjectAltName=DNS:other.example\n";
  }
  const std::string d = dir_;
  const std::string q = " >" + d + "/openssl.log 2>&1";
  Run(std::string("openssl req -x509 ") + kKeyOptions + " -keyout " + d + "/ca.key -out " + d +
      "/ca.pem -days 30 -subj '/CN=Vexa Test Authority' -addext basicConstraints=critical,CA:TRUE "
      "-addext keyUsage=critical,keyCertSign,cRLSign" +
      q) &&
      Run(std::string("openssl req ") + kKeyOptions + " -keyout " + d + "/good.key -out " + d +
          "/good.csr -subj /CN=127.0.0.1" + q) &&
      Run("openssl ca -batch -config " + d + "/ca.cnf -cert " + d + "/ca.pem -keyfile " + d +
          "/ca.key -days 30 -extfile " + d + "/loopback.ext -in " + d + "/good.csr -out " + d +
          "/good.pem" + q) &&
      Run(std::string("openssl req ") + kKeyOptions + " -keyout " + d + "/other.key -out " + d +
          "/other.csr -subj /CN=other.example" + q) &&
      Run("openssl ca -batch -config " + d + "/ca.cnf -cert " + d + "/ca.pem -keyfile " + d +
          "/ca.key -days 30 -extfile " + d + "/other.ext -in " + d + "/other.csr -out " + d +
          "/other.pem" + q) &&
      Run(std::string("openssl req ") + kKeyOptions + " -keyout " + d + "/expired.key -out " + d +
          "/expired.csr -subj /CN=127.0.0.1" + q) &&
      Run("openssl ca -batch -config " + d + "/ca.cnf -cert " + d + "/ca.pem -keyfile " + d +
          "/ca.key -startdate 20200101000000Z -enddate 20200201000000Z -extfile " + d +
          "/loopback.ext -in " + d + "/expired.csr -out " + d + "/expired.pem" + q) &&
      Run(std::string("openssl req -x509 ") + kKeyOptions + " -keyout " + d +
          "/selfsigned.key -out " + d + "/selfsigned.pem -days 30 -subj /CN=127.0.0.1 -addext " +
          kLoopbackNames + q);
}

TestAuthority::~TestAuthority() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

bool TestAuthority::Run(const std::string& command) {
  if (std::system(command.c_str()) == 0) return true;
  std::ifstream log(dir_ + "/openssl.log");
  std::string output((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  error_ = command + "\n" + output;
  return false;
}

}  // namespace vexa
