// Contacts as vCard 4.0, the form address books and phones import.
//
// A card, one content line per property, every line ended by CR LF:
//
//   BEGIN:VCARD
//   VERSION:4.0                      (directly after BEGIN)
//   PRODID:-//Orbanix//Contacts//EN
//   UID:urn:uuid:8c2f...-5...        the same for the same contact in every run
//   FN:Anna Smith                    (the one required property)
//   N:;Anna Smith;;;                 family;given;additional;prefixes;suffixes
//   ORG:Acme
//   TEL;VALUE=text:+1 555 200 0004   one per number
//   EMAIL:anna@example.com           one per address
//   ADR:;;1 Main St\nSpringfield;;;;  post box;extended;street;locality;region;code;country
//   URL:https://example.com          one per address
//   NOTE:...
//   X-ORBANIX-DELETED:1              a contact recovered from deleted rows
//   END:VCARD
//
// Text values are escaped: "\" becomes "\\", "," "\,", ";" "\;" and a line
// break (LF, CR LF or CR) "\n". Control characters other than the tab have no
// place in a vCard value and are left out; invalid UTF-8 becomes U+FFFD.
// A line longer than 75 octets is folded: CR LF and one space go before the
// octet that would be the 76th, never inside a UTF-8 sequence or an escape.
// URL values are URIs, not texts: they are not escaped (a URI has no
// breaks; "," and ";" keep their meaning in it).
// Numbers are written as text (VALUE=text) rather than "tel:" URIs, because
// what the phone stored is whatever the user typed. Properties whose value is
// empty are left out; importers ignore the X- property.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "extractors/contacts.h"

namespace orbanix {

struct VCardContact {
  std::string formattedName;  // FN; "No Name" when nothing names the person
  std::string familyName;     // N
  std::string givenName;
  std::string organization;   // ORG
  std::vector<std::string> phones;     // TEL
  std::vector<std::string> emails;     // EMAIL
  std::vector<std::string> addresses;  // ADR, each in the street part
  std::vector<std::string> urls;       // URL
  std::string note;                    // NOTE
  bool deleted = false;                // X-ORBANIX-DELETED:1
  std::string uid;                     // UID: address books and CardDAV servers tell cards apart by it
};

// The card of one contact record: first and last name become N and, joined
// by a space, FN (a record that has only the joined name gives it as FN and
// as the given name of N); the selected phone
// numbers, one TEL each; the e-mail and web addresses split at white space;
// the postal addresses as one ADR; the social profiles in NOTE. A record the
// scan named "No Name" takes its organisation, then its first number as FN.
// The UID is a name-based UUID (version 5 form) of every field of the
// record, so a second recovery of the same contact updates the card an
// address book holds instead of adding a copy.
VCardContact VCardContactOf(const ContactRecord& record);

// One text value escaped as above (for structured values too: the ";" that
// separate the parts are added by the caller).
std::string VCardEscape(std::string_view text);

// One content line folded at 75 octets, with its CR LF.
std::string VCardFoldLine(std::string_view line);

// The whole card, BEGIN to END.
std::string VCardText(const VCardContact& contact);

}  // namespace orbanix
