// selection.cc - the map selection lookup.
#include "selection.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "OVw.h"
#include "handles.h"
#include "log_text.h"
#include "ovw_error.h"
#include "protocol.h"
#include "text.h"

namespace {

constexpr int kSessionVersion = 5;

// The library answers 1 for a set flag, 0 for a clear one and -1 when it can't tell; a flag
// that can't be read does not make an object a Kestara device.
bool isSet(int booleanValue) { return booleanValue > 0; }

// The answer for a qualifying object: its selection name. A name that is missing, or too long
// to reach the applet whole, becomes a failure text rather than a wrong or empty name.
void writeSelectionName(std::span<char, kSelectionTextSize> text, OVwObjectId object) {
  const char *name = OVwDbObjectIdToSelectionName(object);
  if (name == nullptr) {
    std::snprintf(text.data(), text.size(), "failed: No selection name for object %u", object);
  } else if (std::strlen(name) >= text.size()) {
    copyText(text, kNameTooLong);
  } else {
    copyText(text, name);
  }
}

// The answer when neither the selected object nor its submap's owner is a Kestara device.
void writeNotDevice(std::span<char, kSelectionTextSize> text, OVwObjectId object) {
  const char *name = OVwDbObjectIdToSelectionName(object);
  if (name == nullptr) {
    std::snprintf(text.data(), text.size(), "failed: object %u not KestaraDevice", object);
  } else {
    // A failure text may be cut: it names nothing that the applet acts on.
    std::snprintf(text.data(), text.size(), "failed: %s not KestaraDevice", name);
  }
}

// "failed:OVwInitSession, error %d, %s\n", with the library's message cut so that the whole
// text, newline included, fits the 80-byte failure text.
void writeInitFailure(std::span<char, kFailureTextSize> failureText, int code,
                      const char *message) {
  if (message == nullptr) message = "";
  int prefix = std::snprintf(nullptr, 0, "failed:OVwInitSession, error %d, ", code);
  int room = static_cast<int>(failureText.size()) - 2 - prefix;  // newline and NUL
  if (room < 0) room = 0;
  std::snprintf(failureText.data(), failureText.size(), "failed:OVwInitSession, error %d, %.*s\n",
                code, room, message);
}

}  // namespace

bool makeSessionName(std::span<char, kSessionNameSize> sessionName) {
  std::fill(sessionName.begin(), sessionName.end(), '\0');
  if (gethostname(sessionName.data(), kHostNameLimit) < 0) return false;
  // A name that filled all 50 bytes without its terminator was cut: a session of that name
  // would be another machine's, so it counts as unreadable.
  const void *end = std::memchr(sessionName.data(), '\0', kHostNameLimit);
  if (end == nullptr) {
    std::fill(sessionName.begin(), sessionName.end(), '\0');
    return false;
  }
  size_t length = static_cast<const char *>(end) - sessionName.data();
  sessionName[length] = ':';
  sessionName[length + 1] = '0';
  sessionName[length + 2] = '\0';
  return true;
}

bool connectSession(std::span<char, kFailureTextSize> failureText) {
  std::array<char, kSessionNameSize> sessionName{};
  // The host name is read at every lookup, also when the process is attached already.
  if (!makeSessionName(sessionName)) {
    copyText(failureText, kGethostnameFailed);
    return false;
  }
  if (const char *session = OVwSessionId(); session != nullptr) {
    std::printf("This application already connected to session %s\n", LogText(session).c_str());
    return true;
  }
  if (_OVwInitSession(kSessionVersion, kApplicationName, sessionName.data()) < 0) {
    int code = OVwError();
    writeInitFailure(failureText, code, OVwErrorMsg(code));
    return false;
  }
  const char *session = OVwSessionId();
  std::printf("This application connected to a NEW session %s\n",
              LogText(session != nullptr ? session : sessionName.data()).c_str());
  return true;
}

bool getSelection(std::span<char, kSelectionTextSize> text) {
  MapInfoPtr map(OVwGetMapInfo());
  if (!map) {
    printOVwError("OVwGetMapInfo");
    std::printf("No Maps open at this time\n");
    return false;
  }
  ObjectIdListPtr selection(OVwGetSelections(map.get(), nullptr));
  if (!selection) {
    printOVwError("OVwGetSelections");
    return false;
  }
  if (selection->count <= 0 || selection->object_ids == nullptr) return false;

  OVwFieldId flag = OVwDbFieldNameToFieldId(kDeviceField);
  if (flag == 0) {
    copyText(text, kFieldNotDefined);
    return true;
  }

  // Only the first selected object decides the answer.
  OVwObjectId first = selection->object_ids[0];
  if (isSet(OVwDbGetFieldBooleanValue(first, flag))) {
    writeSelectionName(text, first);
  } else {
    // Walk from the object's first symbol to the object that owns the submap it lies on (the
    // node, when the application icon on a node's submap is selected).
    SymbolListPtr symbols(OVwGetSymbolsByObject(map.get(), first));
    if (!symbols) {
      std::printf("getSelection: Cannot getSymbolByObject %s\n",
                  LogText(OVwErrorMsg(OVwError())).c_str());
      return false;
    }
    if (symbols->count <= 0 || symbols->symbols == nullptr) {
      std::printf("getSelection: no Symbols for this object\n");
      return false;
    }
    SymbolInfoPtr info(OVwGetSymbolInfo(map.get(), symbols->symbols[0].symbol_id));
    if (!info) {
      copyText(text, kNoSymbolInfo);
      return true;
    }
    SubmapInfoPtr submap(OVwGetSubmapInfo(map.get(), info->submap_id));
    if (!submap) {
      copyText(text, kNoSubmapInfo);
      return true;
    }
    OVwObjectId parent = submap->parent_object_id;
    symbols.reset();
    info.reset();
    submap.reset();

    if (isSet(OVwDbGetFieldBooleanValue(parent, flag))) {
      writeSelectionName(text, parent);
    } else {
      // Neither qualifies: name the selected object if it is a node, else the submap's owner.
      OVwFieldId node = OVwDbFieldNameToFieldId(kNodeField);
      writeNotDevice(text, isSet(OVwDbGetFieldBooleanValue(first, node)) ? first : parent);
    }
  }

  if (selection->count > 1) {
    std::printf("   %d more objects selected :\n", static_cast<int>(selection->count - 1));
    for (int32_t i = 1; i < selection->count; ++i) {
      const char *name = OVwDbObjectIdToSelectionName(selection->object_ids[i]);
      std::printf("\t%d %s\n", static_cast<int>(i),
                  LogText(name != nullptr ? name : "(no name)").c_str());
    }
  }
  return true;
}

void getSelectionName(std::span<char, kSelectionTextSize> text) {
  std::array<char, kFailureTextSize> failureText{};
  if (!connectSession(failureText)) {
    copyText(text, std::string_view(failureText.data()));
    return;
  }
  if (getSelection(text)) {
    text[text.size() - 1] = '\0';
    std::printf("Host %s selected\n", LogText(text.data(), LogText::LineEnd::kKeep).c_str());
    return;
  }
  std::printf("No objects selected\n");
  copyText(text, kNoDeviceSelected);
}
