// A test NSS database in a temporary HOME, built by make-nssdb.sh (see there for the
// certificates it holds), removed again by the destructor.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/Shell.h"

class NssFixture {
  public:
    // password empty: the database's keys need no login.
    explicit NssFixture(const std::string& password = std::string());

    bool ok() const { return ok_; }  // false when the script failed
    const std::string& root() const { return root_; }
    std::string home() const { return root_ + "/home"; }  // the HOME to point at
    std::string database_dir() const { return home() + "/.pki/nssdb"; }

    // DER of certificate NAME (sign, nonrep, encrypt, multi, nocn, expired, sm2signed, ca, sm2ca).
    std::vector<uint8_t> Certificate(const std::string& name) const;
    // SHA-256 of every file of the database folder, by file name.
    std::map<std::string, std::string> Checksums() const;

  private:
    test_shell::TempDir dir_;
    std::string root_ = dir_.str();
    bool ok_ = false;
};

// SHA-256 of every file of folder dir, by file name.
std::map<std::string, std::string> DirectoryChecksums(const std::string& dir);

// Sets HOME for one scope and restores it.
class ScopedHome {
  public:
    explicit ScopedHome(const std::string& home);
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

  private:
    std::string previous_;
    bool had_previous_ = false;
};
