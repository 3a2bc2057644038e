// Tests of how a node event is read: which object it names, if any.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "discovery.h"

namespace {

uint32_t parse(std::string_view text) {
  return parseObjectNumber({reinterpret_cast<const unsigned char *>(text.data()), text.size()});
}

TEST(ParseObjectNumber, ReadsLikeAtoiWithinTheValue) {
  EXPECT_EQ(123u, parse("123"));
  EXPECT_EQ(123u, parse("  123"));
  EXPECT_EQ(123u, parse("\t\n 123"));
  EXPECT_EQ(12u, parse("12abc"));
  EXPECT_EQ(12u, parse("12 34"));
  EXPECT_EQ(7u, parse("+7"));
  EXPECT_EQ(0u, parse("abc12"));
  EXPECT_EQ(0u, parse(""));
  EXPECT_EQ(0u, parse("   "));
  EXPECT_EQ(0u, parse("0"));
  EXPECT_EQ(0u, parse("+"));
  EXPECT_EQ(0u, parse("- 5"));  // blanks only before the sign
  EXPECT_EQ(0u, parse("++5"));
}

TEST(ParseObjectNumber, NegatesAndWrapsModulo2To32) {
  EXPECT_EQ(4294967295u, parse("-1"));
  EXPECT_EQ(4294967295u, parse("4294967295"));
  EXPECT_EQ(0u, parse("4294967296"));
  EXPECT_EQ(5u, parse("4294967301"));
  EXPECT_EQ(1u, parse("-4294967295"));
  // A long run of digits never overflows anything.
  EXPECT_EQ(parse("99999999999999999999999999999999999999"),
            parse("99999999999999999999999999999999999999x"));
}

TEST(ParseObjectNumber, StopsAtTheValuesLength) {
  const char bytes[] = "1234";
  EXPECT_EQ(12u, parseObjectNumber({reinterpret_cast<const unsigned char *>(bytes), 2}));
  // An embedded NUL ends the digits like any other byte.
  EXPECT_EQ(4u, parse(std::string_view("4\0"
                                       "5",
                                       3)));
}

// A PDU built on the stack, in the form the library hands to the callback.
class Event {
 public:
  explicit Event(std::vector<OVsnmpOid> enterprise = {1, 3, 6, 1, 4, 1, 11, 2, 17, 1})
      : enterprise_(std::move(enterprise)) {
    bindings_.reserve(8);
    values_.reserve(8);
    names_.reserve(8);
  }
  Event &bind(std::vector<OVsnmpOid> name, uint8_t type, std::optional<std::string> value) {
    names_.push_back(std::move(name));
    values_.push_back(value.value_or(""));
    OVsnmpVarBind b{};
    b.oid = names_.back().data();
    b.oid_length = names_.back().size();
    b.type = type;
    b.val = value ? values_.back().data() : nullptr;
    b.val_len = value ? values_.back().size() : 0;
    bindings_.push_back(b);
    return *this;
  }
  Event &object(std::string text) {
    return bind({1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0}, OVSNMP_OCTETSTRING, std::move(text));
  }
  OVwObjectId id() {
    for (size_t i = 0; i + 1 < bindings_.size(); ++i)
      bindings_[i].next_variable = &bindings_[i + 1];
    OVsnmpPdu pdu{};
    pdu.command = OVSNMP_TRAP;
    pdu.enterprise = enterprise_.empty() ? nullptr : enterprise_.data();
    pdu.enterprise_length = enterprise_.size();
    pdu.generic_type = 6;
    pdu.specific_type = 58785794;
    pdu.variables = bindings_.empty() ? nullptr : bindings_.data();
    return eventObjectId(pdu);
  }

 private:
  std::vector<OVsnmpOid> enterprise_;
  std::vector<std::vector<OVsnmpOid>> names_;
  std::vector<std::string> values_;
  std::vector<OVsnmpVarBind> bindings_;
};

TEST(EventObjectId, TakesTheNumberOfTheObjectVariable) {
  EXPECT_EQ(123u, Event().object("  123").id());
  EXPECT_EQ(12u, Event().object("12xyz").id());
  EXPECT_EQ(0u, Event().object("x12").id());
  EXPECT_EQ(0u, Event().object("0").id());
  EXPECT_EQ(0u, Event().object("").id());
}

TEST(EventObjectId, OnlyTheNodeEventEnterpriseCounts) {
  EXPECT_EQ(0u, Event({1, 3, 6, 1, 4, 1, 11, 2, 17, 9}).object("5").id());
  EXPECT_EQ(0u, Event({1, 3, 6, 1, 4, 1, 11, 2, 17}).object("5").id());        // a prefix
  EXPECT_EQ(0u, Event({1, 3, 6, 1, 4, 1, 11, 2, 17, 1, 0}).object("5").id());  // longer
  EXPECT_EQ(0u, Event(std::vector<OVsnmpOid>{}).object("5").id());             // none
}

TEST(EventObjectId, FirstUsableBindingWins) {
  // Passed over: another name, a prefix of the name, the right name with another type or
  // without a value.
  EXPECT_EQ(9u, Event()
                    .bind({1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 4, 0}, OVSNMP_OCTETSTRING, "5")
                    .bind({1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3}, OVSNMP_OCTETSTRING, "6")
                    .bind({1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0}, OVSNMP_INTEGER, "7")
                    .bind({1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0}, OVSNMP_OCTETSTRING, std::nullopt)
                    .object("9")
                    .object("10")
                    .id());
  // The first usable binding decides even when its text names no object.
  EXPECT_EQ(0u, Event().object("none").object("10").id());
  EXPECT_EQ(0u, Event().bind({1, 3, 6, 1, 2, 1, 1, 5, 0}, OVSNMP_OCTETSTRING, "3").id());
  EXPECT_EQ(0u, Event().id());
}

// What the callback told its listener.
struct RecordingSink final : NodeEventSink {
  std::vector<OVwObjectId> named;
  int failures = 0;
  void objectNamed(OVwObjectId objectId) override { named.push_back(objectId); }
  void sessionFailed() override { ++failures; }
};

TEST(NodeEventCallback, ReportsWhatItCannotUse) {
  RecordingSink sink;
  testing::internal::CaptureStdout();
  nodeEventCallback(OVSNMP_TRAP, 0, nullptr, &sink);
  nodeEventCallback(OVSNMP_INFORM, 0, nullptr, &sink);
  nodeEventCallback(OVSNMP_GET_RSP, 0, nullptr, &sink);
  EXPECT_EQ("Bad callback data.\nBad callback data.\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, sink.failures);
  EXPECT_TRUE(sink.named.empty());
}

TEST(NodeEventCallback, SessionFailureStopsTheListener) {
  for (int code : {OVSNMP_EVENT_SESSION_ERROR, OVSNMP_EVENT_LOST_CONNECTION}) {
    RecordingSink sink;
    testing::internal::CaptureStdout();
    // A handle that names no session: the close is refused quietly.
    nodeEventCallback(code, 987654, nullptr, &sink);
    EXPECT_EQ("SNMP error or lost connection on Callback\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, sink.failures);
  }
}

}  // namespace
