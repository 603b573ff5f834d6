// The authority's index of what it signed: HOME/index.txt, one for all the keys of an authority
// (a key made by a roll-over names the directory that holds it in its index.ref), read and
// extended under the lock of that directory.
//
// One line per entry, fields separated by tabs:
//  - a certificate: serial number (hexadecimal), UID, key number, validity (not before, not
//    after), time of issue, the digest of the certified public key (Streebog-256 of its 64 bytes,
//    hexadecimal), the holder (the UID whose signed renewal asked for it, "-" for the operator's
//    own acts) and the number of the authority key that issued it. Lines of older indexes, with
//    the first six or eight fields only, are kept as they are;
//  - a revocation: "revoked", the certificate's serial number, the number of the key that issued
//    it and the time of revocation;
//  - a CRL: "crl", the number of the key that signed it, its CRL number and its time of issue.
// The first line is a header naming the fields; the last, "# end: N lines", counts the entries,
// so that an index cut short at the end of a line is told from a whole one. Indexes written by
// earlier versions (one of their headers, no closing line) are read as they are and get the
// current header and the closing line when next written.
//
// An index that is missing, empty, cut short or holds a line the authority does not write
// refuses every command that reads it, until the operator repairs it: a UID must never go to a
// second key holder because the record of its first one is gone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "documents.h"

namespace ca {

inline constexpr std::string_view kLocalAct = "-";

class AuthorityIndex {
 public:
  struct Certificate {
    std::string serial;  // upper-case hexadecimal
    std::string uid;
    std::int32_t keyNumber = 0;
    std::string holder;                  // empty on the lines of the oldest format
    std::optional<std::int32_t> issuer;  // the issuing key; unknown on older lines
  };
  struct Revocation {
    std::string serial;
    std::int32_t issuer = 0;
    cc::Minutes when = 0;
  };

  // Reads HOME/index.txt. Throws Failure when it is missing, empty, cut short or damaged.
  explicit AuthorityIndex(const std::string& home);
  // The text of the index of an authority that has issued nothing yet.
  static std::string Fresh();
  static std::string PathIn(const std::string& home);

  const std::string& path() const { return path_; }
  // Whether `sender` may have a certificate for `uid`: a UID not yet issued goes to anyone the
  // caller allowed; an issued one only to its own holder (the sender is the UID) or to a sender
  // recorded as having asked for it, never to a second key holder, whichever key issued it.
  bool MayIssueTo(const std::string& uid, const std::string& sender) const;
  const Certificate* FindCertificate(std::string_view serial) const;
  // Whether a certificate of `uid` with key number `keyNumber` was issued.
  bool Issued(std::string_view uid, std::int32_t keyNumber) const;
  const Revocation* FindRevocation(std::string_view serial, std::int32_t issuer) const;
  std::vector<Revocation> RevokedBy(std::int32_t issuer) const;
  // The number of the last CRL the key signed; 0 when it signed none.
  std::int64_t LastCrlNumber(std::int32_t issuer) const;

  void AddCertificate(const cc::PublicDocument& cert, cc::Minutes issued, std::string_view holder);
  void AddRevocation(const std::string& serial, std::int32_t issuer, cc::Minutes when);
  void AddCrl(std::int32_t issuer, std::int64_t number, cc::Minutes issued);
  // The index as it is written: the current header, every entry, the closing line.
  std::string Text() const;

 private:
  std::string path_;
  std::vector<std::string> lines_;  // the entries and remarks, without their line ends
  std::size_t entries_ = 0;
  std::vector<Certificate> certificates_;
  std::vector<Revocation> revocations_;
  std::vector<std::pair<std::int32_t, std::int64_t>> crls_;  // key, number
};

}  // namespace ca
