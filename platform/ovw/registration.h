// registration.h - field and application registration files, loaded by `ovw -fields`.
//
// A registration file (*.reg) is plain text, one statement per line; '#' starts a comment and
// texts with blanks are written in double quotes (\" and \\ inside them):
//
//   field "isKestaraDevice" boolean           # boolean | integer | string | enumeration
//   application "Varnis Console Application"
//   description "Places the Varnis console icon on Kestara devices"
//   action "Start Web Action" command "varnis-console --web"
//
// `description` and `action` belong to the application named last above them.
#ifndef KESTARA_PLATFORM_OVW_REGISTRATION_H
#define KESTARA_PLATFORM_OVW_REGISTRATION_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"
#include "store_backend.h"

namespace kestara::ovw {

struct FieldDefinition {
  std::string name;
  int type = OVW_FIELD_BOOLEAN;
};

struct ActionDefinition {
  std::string name;
  std::optional<std::string> command;
};

struct ApplicationDefinition {
  std::string name;
  std::optional<std::string> description;
  std::vector<ActionDefinition> actions;
};

struct Registrations {
  std::vector<FieldDefinition> fields;
  std::vector<ApplicationDefinition> applications;
};

// Parses one file's text into `out`; `origin` names the file in error messages
// ("origin:line: ...").
Status parseRegistrations(std::string_view text, std::string_view origin, Registrations &out);

// Reads the files (a folder stands for its *.reg files, in name order).
Result<Registrations> readRegistrations(const std::vector<std::string> &paths);

// The folder of the registration files shipped with the system: $OVW_REGISTRATION_DIR, else
// the folder that lies where the installation puts them relative to the running program
// (<prefix>/share/kestara/registration beside <prefix>/bin; the build tree has the same
// layout); nothing when none exists.
std::optional<std::string> defaultRegistrationDir();

// Defines the fields and registers the applications, all in one transaction. Loading the same
// files again changes nothing.
Status loadRegistrations(StoreBackend &store, const Registrations &registrations);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_REGISTRATION_H
