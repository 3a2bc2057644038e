// ovw_test.cc - the OVw library as the programs use it, with the `ovw` tool (a real process)
// playing the platform's GUI on the same database.
#include "OVw.h"

#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ovw_test_util.h"

namespace {

using ovwtest::OVwBackendTest;
using ovwtest::OVwDbTest;
using namespace std::chrono_literals;

constexpr const char *kApp = "Varnis Console Application";

std::string hostSession() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  return std::string(host) + ":0";
}

// A one-binding "field = true" list, in the programs' layout.
struct TrueFilter {
  explicit TrueFilter(std::vector<OVwFieldId> ids) {
    for (OVwFieldId id : ids) bindings.push_back({id, &yes});
    list = {static_cast<int32_t>(bindings.size()), bindings.data()};
  }
  OVwFieldValue yes{0, OVW_FIELD_BOOLEAN, 1, 0};
  std::vector<OVwFieldBinding> bindings;
  OVwFieldBindList list{};
};

std::vector<OVwObjectId> ids(const OVwObjectIdList *list) {
  std::vector<OVwObjectId> out;
  for (int32_t i = 0; list != nullptr && i < list->count; ++i) out.push_back(list->object_ids[i]);
  return out;
}

std::vector<OVwObjectId> ids(const OVwObjectList *list) {
  std::vector<OVwObjectId> out;
  for (int32_t i = 0; list != nullptr && i < list->count; ++i) {
    out.push_back(list->objects[i].object_id);
  }
  return out;
}

// --- Sessions --------------------------------------------------------------------------------

TEST_P(OVwBackendTest, AttachingNeedsARunningSessionAndSaysWhichIsMissing) {
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, "test:0"));
  EXPECT_EQ(OVW_ERR_NO_SESSION, OVwError());
  EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(OVW_ERR_NO_SESSION), "\"test:0\" is not running"));
  EXPECT_EQ(nullptr, OVwSessionId());

  // Without a name the session of this host is meant.
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, nullptr));
  std::string expected = "\"" + hostSession() + "\" is not running";
  EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(OVwError()), expected.c_str()));

  ok({"start", "session", hostSession()});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, nullptr)) << OVwErrorMsg(OVwError());
  EXPECT_STREQ(hostSession().c_str(), OVwSessionId());
}

TEST_P(OVwBackendTest, SessionArgumentsAreChecked) {
  ok({"start", "session", kSession});
  EXPECT_EQ(-1, _OVwInitSession(4, kApp, kSession));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(-1, _OVwInitSession(5, nullptr, kSession));
  EXPECT_EQ(-1, _OVwInitSession(5, "", kSession));
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, std::string(300, 's').c_str()));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, kSession));  // already attached
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_STREQ(kSession, OVwSessionId());
}

TEST_P(OVwBackendTest, LeavingAndEndedSessions) {
  ok({"start", "session", kSession});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  EXPECT_GE(OVwEventDescriptor(), 0);
  OVwDone();
  EXPECT_EQ(nullptr, OVwSessionId());
  EXPECT_EQ(-1, OVwEventDescriptor());
  OVwDone();  // harmless when not attached

  // An ended session is no session: the process can attach to the one that runs now.
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  ok({"end", "session", kSession});
  EXPECT_EQ(nullptr, OVwSessionId());
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(OVW_ERR_NO_SESSION, OVwError());
  ok({"start", "session", kSession});
  EXPECT_EQ(0, _OVwInitSession(5, kApp, kSession));
}

// --- Object database -------------------------------------------------------------------------

TEST_P(OVwBackendTest, FieldsExistOnlyOnceDefined) {
  ASSERT_EQ(0, OVwDbInit());
  EXPECT_NE(0u, OVwDbFieldNameToFieldId("isNode"));
  EXPECT_NE(0u, OVwDbFieldNameToFieldId("isSNMPSupported"));
  EXPECT_EQ(0u, OVwDbFieldNameToFieldId("isKestaraDevice"));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(0u, OVwDbFieldNameToFieldId(nullptr));
  ok({"-fields"});
  OVwFieldId device = OVwDbFieldNameToFieldId("isKestaraDevice");
  EXPECT_NE(0u, device);
  EXPECT_NE(device, OVwDbFieldNameToFieldId("isNode"));
}

TEST_P(OVwBackendTest, BooleanFieldsAndQueries) {
  ok({"-fields"});
  uint32_t a = addNode({"alpha", "alpha.example"});
  uint32_t b = addNode({"beta", "--no-snmp"});
  uint32_t c = addNode({"gamma", "--not-node"});
  ASSERT_EQ(0, OVwDbInit());
  OVwFieldId node = OVwDbFieldNameToFieldId("isNode");
  OVwFieldId snmp = OVwDbFieldNameToFieldId("isSNMPSupported");
  OVwFieldId device = OVwDbFieldNameToFieldId("isKestaraDevice");

  TrueFilter both({node, snmp});
  OVwObjectIdList *list = OVwDbListObjectsByFieldValues(&both.list);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(std::vector<OVwObjectId>{a}, ids(list));
  OVwDbFreeObjectIdList(list);

  TrueFilter flagged({device});
  list = OVwDbListObjectsByFieldValues(&flagged.list);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(0, list->count);
  EXPECT_EQ(nullptr, list->object_ids);
  OVwDbFreeObjectIdList(list);

  EXPECT_EQ(0, OVwDbGetFieldBooleanValue(a, device));  // no value yet
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(a, device, 1));
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(c, device, 7));  // any non-zero is true
  EXPECT_EQ(1, OVwDbGetFieldBooleanValue(a, device));
  EXPECT_EQ(1, OVwDbGetFieldBooleanValue(c, device));
  EXPECT_EQ(0, OVwDbGetFieldBooleanValue(b, snmp));
  list = OVwDbListObjectsByFieldValues(&flagged.list);
  EXPECT_EQ((std::vector<OVwObjectId>{a, c}), ids(list));  // ascending
  OVwDbFreeObjectIdList(list);
  EXPECT_EQ(0, OVwDbSetFieldBooleanValue(a, device, 0));
  EXPECT_EQ(0, OVwDbGetFieldBooleanValue(a, device));
  EXPECT_EQ("false\n", ok({"get", "field", std::to_string(a), "isKestaraDevice"}));
  EXPECT_EQ("true\n", ok({"get", "field", std::to_string(c), "isKestaraDevice"}));

  // A false binding matches objects whose field is clear or unset.
  OVwFieldValue no{0, OVW_FIELD_BOOLEAN, 0, 0};
  OVwFieldBinding not_snmp{snmp, &no};
  OVwFieldBindList without_snmp{1, &not_snmp};
  list = OVwDbListObjectsByFieldValues(&without_snmp);
  EXPECT_EQ(std::vector<OVwObjectId>{b}, ids(list));
  OVwDbFreeObjectIdList(list);

  // Failures.
  EXPECT_EQ(-1, OVwDbGetFieldBooleanValue(9999, device));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(-1, OVwDbGetFieldBooleanValue(a, 0));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(-1, OVwDbSetFieldBooleanValue(9999, device, 1));
  EXPECT_EQ(-1, OVwDbSetFieldBooleanValue(a, 424242, 1));
}

TEST_P(OVwBackendTest, MalformedFieldValueListsAreRefused) {
  ASSERT_EQ(0, OVwDbInit());
  OVwFieldValue yes{0, OVW_FIELD_BOOLEAN, 1, 0};
  OVwFieldValue text{0, OVW_FIELD_STRING, 0, 0};
  OVwFieldValue listed{1, OVW_FIELD_BOOLEAN, 1, 0};
  OVwFieldBinding good{1, &yes};
  OVwFieldBinding no_value{1, nullptr};
  OVwFieldBinding text_binding{1, &text};
  OVwFieldBinding list_binding{1, &listed};
  const OVwFieldBindList cases[] = {
      {-1, &good},        {1, nullptr},       {1, &no_value},
      {1, &text_binding}, {1, &list_binding}, {100000, &good},
  };
  for (const OVwFieldBindList &bad : cases) {
    EXPECT_EQ(nullptr, OVwDbListObjectsByFieldValues(&bad));
    EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
    EXPECT_EQ(0u, OVwDbCreateObject(&bad));
  }
  EXPECT_EQ(nullptr, OVwDbListObjectsByFieldValues(nullptr));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
}

TEST_P(OVwBackendTest, ObjectNamesCreationAndDeletion) {
  uint32_t a = addNode({"alpha.example.com", "alpha"});
  ASSERT_EQ(0, OVwDbInit());
  EXPECT_STREQ("alpha", OVwDbObjectIdToSelectionName(a));
  EXPECT_STREQ("alpha.example.com", OVwDbObjectIdToHostname(a));
  EXPECT_EQ(nullptr, OVwDbObjectIdToSelectionName(9999));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  // Names back to ids: exact, case and all; the lowest id when two objects share a name.
  uint32_t twin = addNode({"alpha2.example.com", "alpha"});
  EXPECT_EQ(a, OVwDbHostnameToObjectId("alpha.example.com"));
  EXPECT_EQ(twin, OVwDbHostnameToObjectId("alpha2.example.com"));
  EXPECT_EQ(a, OVwDbSelectionNameToObjectId("alpha"));
  EXPECT_EQ(0u, OVwDbHostnameToObjectId("ALPHA.example.com"));
  EXPECT_EQ(0u, OVwDbSelectionNameToObjectId("alpha "));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(0u, OVwDbHostnameToObjectId(nullptr));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());

  OVwObjectId plain = OVwDbCreateObject(nullptr);
  ASSERT_NE(0u, plain);
  EXPECT_NE(a, plain);
  EXPECT_EQ(nullptr, OVwDbObjectIdToHostname(plain));  // exists, but has no name
  TrueFilter node({OVwDbFieldNameToFieldId("isNode")});
  OVwObjectId flagged = OVwDbCreateObject(&node.list);
  EXPECT_EQ(1, OVwDbGetFieldBooleanValue(flagged, OVwDbFieldNameToFieldId("isNode")));

  EXPECT_EQ(0, OVwDbDeleteObject(plain));
  EXPECT_EQ(-1, OVwDbDeleteObject(plain));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  // Ids are not reused.
  OVwObjectId next = OVwDbCreateObject(nullptr);
  EXPECT_GT(next, flagged);
}

// --- Maps, symbols, selections ----------------------------------------------------------------

TEST_P(OVwBackendTest, MapInfoNeedsAnOpenMap) {
  ok({"-fields"});
  ok({"start", "session", kSession});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(nullptr, OVwGetMapInfo());
  EXPECT_EQ(OVW_ERR_NO_MAP, OVwError());
  ok({"open", "map", "--session", kSession});
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);
  EXPECT_STREQ("default", map->map_name);
  EXPECT_STREQ(kSession, map->session_name);
  EXPECT_NE(0u, map->root_submap_id);
  EXPECT_EQ(0, OVwBeginMapSync(map));
  EXPECT_EQ(0, OVwEndMapSync(map));
  ok({"close", "map", "--session", kSession});
  // The handle outlives the open map; calls that need it open say so.
  EXPECT_EQ(-1, OVwBeginMapSync(map));
  EXPECT_EQ(OVW_ERR_NO_MAP, OVwError());
  EXPECT_EQ(nullptr, OVwGetSelections(map, nullptr));
  EXPECT_EQ(OVW_ERR_NO_MAP, OVwError());
  OVwFreeMapInfo(map);
}

TEST_P(OVwBackendTest, SymbolsOnANodesSubmap) {
  startMap();
  uint32_t node = addNode({"alpha"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);

  // The node: a symbol on the root submap, a submap of its own owned by it.
  OVwObjectInfo *info = OVwGetObjectInfo(map, node);
  ASSERT_NE(nullptr, info);
  OVwSubmapId submap = info->child_submap_id;
  EXPECT_NE(0u, submap);
  EXPECT_EQ(1, info->is_node);
  EXPECT_EQ(1, info->is_snmp_supported);
  EXPECT_STREQ("alpha", info->hostname);
  OVwFreeObjectInfo(info);
  OVwSubmapInfo *sub = OVwGetSubmapInfo(map, submap);
  ASSERT_NE(nullptr, sub);
  EXPECT_EQ(node, sub->parent_object_id);
  EXPECT_EQ(0, sub->is_root);
  OVwFreeSubmapInfo(sub);
  OVwSymbolList *of_node = OVwGetSymbolsByObject(map, node);
  ASSERT_NE(nullptr, of_node);
  ASSERT_EQ(1, of_node->count);
  EXPECT_EQ(map->root_submap_id, of_node->symbols[0].submap_id);
  OVwFreeSymbolList(of_node);

  // An icon as the console places it.
  OVwObjectId icon = OVwDbCreateObject(nullptr);
  OVwSymbolId symbol =
      OVwCreateSymbol(map, submap, icon, "Software:Varnis", "Varnis Console", 1, 3, 0, 2);
  ASSERT_NE(0u, symbol) << OVwErrorMsg(OVwError());
  OVwObjectIdList targets{1, &node};
  EXPECT_EQ(0, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                    &targets));
  OVwSymbolInfo *sym = OVwGetSymbolInfo(map, symbol);
  ASSERT_NE(nullptr, sym);
  EXPECT_EQ(submap, sym->submap_id);
  EXPECT_EQ(icon, sym->object_id);
  EXPECT_STREQ("Software:Varnis", sym->symbol_type);
  EXPECT_STREQ("Varnis Console", sym->label);
  EXPECT_STREQ(kApp, sym->application);
  EXPECT_STREQ("Start Web Action", sym->action);
  EXPECT_EQ(OVW_BEHAVIOR_ACTION, sym->behavior);
  ASSERT_EQ(1, sym->target_objects.count);
  EXPECT_EQ(node, sym->target_objects.object_ids[0]);
  OVwFreeSymbolInfo(sym);

  // Listing by application: ours, someone else's (none: an empty list, not a failure), all.
  OVwSymbolList *mine = OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kApp);
  ASSERT_NE(nullptr, mine);
  ASSERT_EQ(1, mine->count);
  EXPECT_EQ(symbol, mine->symbols[0].symbol_id);
  EXPECT_STREQ("Varnis Console", mine->symbols[0].label);
  OVwFreeSymbolList(mine);
  OVwSymbolList *theirs = OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, "Other App");
  ASSERT_NE(nullptr, theirs);
  EXPECT_EQ(0, theirs->count);
  EXPECT_EQ(nullptr, theirs->symbols);
  OVwFreeSymbolList(theirs);
  OVwSymbolList *root = OVwListSymbols(map, map->root_submap_id, OVW_LIST_ALL, nullptr);
  ASSERT_NE(nullptr, root);
  EXPECT_EQ(1, root->count);
  OVwFreeSymbolList(root);
  EXPECT_EQ(nullptr, OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, nullptr));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(nullptr, OVwListSymbols(map, 9999, OVW_LIST_ALL, nullptr));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());

  // The objects flagged on the map.
  OVwFieldId device = OVwDbFieldNameToFieldId("isKestaraDevice");
  TrueFilter flagged({device});
  OVwObjectList *objects = OVwListObjectsOnMap(map, &flagged.list);
  ASSERT_NE(nullptr, objects);
  EXPECT_EQ(0, objects->count);
  OVwFreeObjectList(objects);
  ASSERT_EQ(0, OVwDbSetFieldBooleanValue(node, device, 1));
  ASSERT_EQ(0, OVwDbSetFieldBooleanValue(OVwDbCreateObject(nullptr), device, 1));  // not on map
  objects = OVwListObjectsOnMap(map, &flagged.list);
  EXPECT_EQ(std::vector<OVwObjectId>{node}, ids(objects));
  EXPECT_EQ(submap, objects->objects[0].child_submap_id);
  OVwFreeObjectList(objects);
  objects = OVwListObjectsOnMap(map, nullptr);
  EXPECT_EQ((std::vector<OVwObjectId>{node, icon}), ids(objects));
  OVwFreeObjectList(objects);

  EXPECT_EQ(0, OVwDeleteSymbol(map, symbol));
  EXPECT_EQ(-1, OVwDeleteSymbol(map, symbol));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(nullptr, OVwGetSymbolInfo(map, symbol));
  OVwFreeMapInfo(map);
}

TEST_P(OVwBackendTest, SymbolBehaviourNeedsTheRegisteredApplicationAndAction) {
  ok({"start", "session", kSession});
  ok({"open", "map", "--session", kSession});
  uint32_t node = addNode({"alpha"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);
  OVwSymbolList *list = OVwGetSymbolsByObject(map, node);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(1, list->count);
  OVwSymbolId symbol = list->symbols[0].symbol_id;
  OVwFreeSymbolList(list);
  OVwObjectIdList targets{1, &node};

  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                     &targets));
  EXPECT_EQ(OVW_ERR_NOT_REGISTERED, OVwError());
  EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(OVwError()), "ovw -fields"));
  ok({"-fields"});
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Stop Web Action",
                                     &targets));
  EXPECT_EQ(OVW_ERR_NOT_REGISTERED, OVwError());
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, "Other", "Start Web Action",
                                     &targets));
  EXPECT_EQ(0, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                    &targets));

  OVwObjectId missing = 9999;
  OVwObjectIdList bad_target{1, &missing};
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                     &bad_target));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  OVwObjectIdList broken{3, nullptr};
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, OVW_BEHAVIOR_ACTION, kApp, "Start Web Action",
                                     &broken));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, symbol, 9, kApp, "Start Web Action", &targets));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(-1, OVwSetSymbolBehavior(map, 9999, OVW_BEHAVIOR_NONE, nullptr, nullptr, nullptr));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  OVwFreeMapInfo(map);
}

TEST_P(OVwBackendTest, SelectionsInSelectionOrder) {
  startMap();
  uint32_t a = addNode({"alpha"});
  uint32_t b = addNode({"beta"});
  uint32_t c = addNode({"gamma"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);

  OVwObjectIdList *sel = OVwGetSelections(map, nullptr);
  ASSERT_NE(nullptr, sel);
  EXPECT_EQ(0, sel->count);
  EXPECT_EQ(nullptr, sel->object_ids);
  OVwDbFreeObjectIdList(sel);

  ok({"select", std::to_string(c), std::to_string(a), std::to_string(b), "--session", kSession});
  sel = OVwGetSelections(map, nullptr);
  EXPECT_EQ((std::vector<OVwObjectId>{c, a, b}), ids(sel));
  OVwDbFreeObjectIdList(sel);

  // A deleted object leaves the selection.
  ok({"delete", "object", std::to_string(a)});
  sel = OVwGetSelections(map, nullptr);
  EXPECT_EQ((std::vector<OVwObjectId>{c, b}), ids(sel));
  OVwDbFreeObjectIdList(sel);

  ok({"select", "--session", kSession});
  sel = OVwGetSelections(map, nullptr);
  EXPECT_EQ(0, sel->count);
  OVwDbFreeObjectIdList(sel);
  EXPECT_EQ(nullptr, OVwGetSelections(map, "reserved"));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  OVwFreeMapInfo(map);
}

TEST_P(OVwBackendTest, ListsStayIntactWhileAnotherProcessDeletesTheirObjects) {
  startMap();
  uint32_t a = addNode({"alpha", "alpha.sel"});
  uint32_t b = addNode({"beta", "beta.sel"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);
  OVwObjectList *objects = OVwListObjectsOnMap(map, nullptr);
  ASSERT_NE(nullptr, objects);
  OVwSymbolList *symbols = OVwListSymbols(map, map->root_submap_id, OVW_LIST_ALL, nullptr);
  ASSERT_NE(nullptr, symbols);
  OVwObjectInfo *info = OVwGetObjectInfo(map, a);
  ASSERT_NE(nullptr, info);

  ok({"delete", "object", std::to_string(a)});

  // What the process holds is its own copy.
  ASSERT_EQ(2, objects->count);
  EXPECT_EQ(a, objects->objects[0].object_id);
  EXPECT_STREQ("alpha.sel", objects->objects[0].selection_name);
  EXPECT_STREQ("beta.sel", objects->objects[1].selection_name);
  ASSERT_EQ(2, symbols->count);
  EXPECT_STREQ("alpha.sel", symbols->symbols[0].label);
  EXPECT_STREQ("alpha", info->hostname);
  // The database has moved on.
  EXPECT_EQ(nullptr, OVwGetObjectInfo(map, a));
  EXPECT_EQ(OVW_ERR_NOT_FOUND, OVwError());
  EXPECT_EQ(nullptr, OVwGetSymbolsByObject(map, a));
  EXPECT_EQ(nullptr, OVwGetSymbolInfo(map, symbols->symbols[0].symbol_id));
  EXPECT_EQ(nullptr, OVwGetSubmapInfo(map, info->child_submap_id));  // went with its owner
  OVwObjectList *now = OVwListObjectsOnMap(map, nullptr);
  EXPECT_EQ(std::vector<OVwObjectId>{b}, ids(now));
  OVwFreeObjectList(now);
  OVwFreeObjectInfo(info);
  OVwFreeSymbolList(symbols);
  OVwFreeObjectList(objects);
  OVwFreeMapInfo(map);
}

TEST_P(OVwBackendTest, FreeCallsIgnoreWhatTheyDidNotHandOut) {
  startMap();
  addNode({"alpha"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);
  OVwObjectList *objects = OVwListObjectsOnMap(map, nullptr);
  ASSERT_NE(nullptr, objects);
  OVwFreeSymbolList(reinterpret_cast<OVwSymbolList *>(objects));  // wrong kind: ignored
  EXPECT_EQ(1, objects->count);                                   // still valid
  OVwFreeObjectList(objects);
  OVwFreeObjectList(objects);  // twice: ignored
  OVwObjectList local{};
  OVwFreeObjectList(&local);
  OVwFreeObjectList(nullptr);
  OVwDbFreeObjectIdList(nullptr);
  OVwFreeMapInfo(map);
  OVwFreeMapInfo(map);
}

// --- Events in this process ------------------------------------------------------------------

struct Seen {
  int event = 0;
  std::string map;
  std::vector<std::pair<OVwObjectId, std::string>> objects;
  OVwSubmapInfo submap{};
  OVwMapCloseInfo close{};
  int ack = 99;
};
std::vector<Seen> g_seen;
bool g_ack_closes = false;

int record(void *, int event, OVwMapInfo *map, void *value) {
  Seen s;
  s.event = event;
  s.map = map != nullptr ? map->map_name : "";
  if (event == OVW_EVENT_OBJECT_CREATED || event == OVW_EVENT_OBJECTS_DELETED) {
    const auto *list = static_cast<const OVwObjectList *>(value);
    for (int32_t i = 0; i < list->count; ++i) {
      const char *name = list->objects[i].selection_name;
      s.objects.emplace_back(list->objects[i].object_id, name != nullptr ? name : "");
    }
  } else if (event == OVW_EVENT_SUBMAP_OPEN) {
    s.submap = *static_cast<const OVwSubmapInfo *>(value);
  } else if (event == OVW_EVENT_MAP_CLOSE) {
    s.close = *static_cast<const OVwMapCloseInfo *>(value);
    if (g_ack_closes) s.ack = OVwAckMapClose(map, &s.close);
  }
  g_seen.push_back(s);
  return 0;
}

// Takes and dispatches the next message; the event code, or 0 when the loop ended.
int pump() {
  OVwMessage m{};
  int r = OVwGetMessage(&m);
  if (r <= 0) return r;
  EXPECT_EQ(0, OVwTranslateMessage(&m));
  EXPECT_EQ(0, OVwDispatchMessage(&m)) << OVwErrorMsg(OVwError());
  return m.event;
}

TEST_P(OVwBackendTest, HandlersGetEachEventsValueOnTheCallingThread) {
  ok({"-fields"});
  ok({"start", "session", kSession});
  g_seen.clear();
  g_ack_closes = true;
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  for (int e : {18, 1, 3, 30, 4, 15}) ASSERT_EQ(0, OVwAddCallback(e, nullptr, record, nullptr));

  ok({"open", "map", "--session", kSession});
  EXPECT_EQ(3, pump());
  uint32_t node = addNode({"alpha", "alpha.sel"});
  EXPECT_EQ(18, pump());
  ok({"open", "submap", std::to_string(node), "--session", kSession});
  EXPECT_EQ(30, pump());
  ok({"delete", "object", std::to_string(node)});
  EXPECT_EQ(15, pump());
  // The close waits for this process's acknowledgement, given from the handler.
  kt::Process closer = kt::Process::start(
      {kt::binPath("ovw"), "close", "map", "--session", kSession, "--timeout-ms", "10000"}, env());
  EXPECT_EQ(4, pump());
  EXPECT_EQ(0, closer.wait(5s).value_or(-1));
  EXPECT_EQ("", closer.errors());
  ok({"end", "session", kSession});
  EXPECT_EQ(1, pump());
  EXPECT_EQ(0, pump());  // the session has ended: the loop ends

  ASSERT_EQ(6u, g_seen.size());
  EXPECT_EQ("default", g_seen[0].map);
  ASSERT_EQ(1u, g_seen[1].objects.size());
  EXPECT_EQ(node, g_seen[1].objects[0].first);
  EXPECT_EQ("alpha.sel", g_seen[1].objects[0].second);
  EXPECT_EQ("default", g_seen[1].map);
  EXPECT_EQ(node, g_seen[2].submap.parent_object_id);
  ASSERT_EQ(1u, g_seen[3].objects.size());
  EXPECT_EQ("alpha.sel", g_seen[3].objects[0].second);  // as it was when deleted
  EXPECT_EQ("default", g_seen[4].map);
  EXPECT_NE(0, g_seen[4].close.close_id);
  EXPECT_EQ(0, g_seen[4].ack);
  EXPECT_EQ("", g_seen[5].map);
  g_ack_closes = false;
}

TEST_P(OVwBackendTest, ObjectCreatedFilterIsAppliedAtDelivery) {
  ok({"-fields"});
  startMap();
  g_seen.clear();
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  TrueFilter flagged({OVwDbFieldNameToFieldId("isKestaraDevice")});
  ASSERT_EQ(0, OVwAddCallback(18, &flagged.list, record, nullptr));
  ASSERT_EQ(0, OVwAddCallback(15, nullptr, record, nullptr));

  uint32_t later = addNode({"later"});  // flagged after posting, before delivery
  uint32_t never = addNode({"never"});  // never flagged
  uint32_t gone = addNode({"gone"});    // deleted before delivery
  ok({"set", "field", std::to_string(later), "isKestaraDevice", "true"});
  ok({"set", "field", std::to_string(gone), "isKestaraDevice", "true"});
  ok({"delete", "object", std::to_string(gone)});

  // Three events 18 and one 15 wait; only "later" passes the filter now.
  EXPECT_EQ(18, pump());
  EXPECT_EQ(18, pump());
  EXPECT_EQ(18, pump());
  EXPECT_EQ(15, pump());
  ASSERT_EQ(2u, g_seen.size());
  EXPECT_EQ(18, g_seen[0].event);
  ASSERT_EQ(1u, g_seen[0].objects.size());
  EXPECT_EQ(later, g_seen[0].objects[0].first);
  EXPECT_EQ(15, g_seen[1].event);
  EXPECT_EQ(gone, g_seen[1].objects[0].first);
  (void)never;
}

TEST_P(OVwBackendTest, MessagesAreDispatchedOnceAndOnlyForRegisteredEvents) {
  startMap();
  g_seen.clear();
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(-1, OVwAddCallback(17, nullptr, record, nullptr));
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(-1, OVwAddCallback(18, nullptr, nullptr, nullptr));
  ASSERT_EQ(0, OVwAddCallback(15, nullptr, record, nullptr));

  uint32_t a = addNode({"alpha"});  // event 18: not registered, never returned
  int fd = OVwEventDescriptor();
  ok({"delete", "object", std::to_string(a)});
  pollfd p{fd, POLLIN, 0};
  EXPECT_EQ(1, poll(&p, 1, 2000));  // the descriptor reports the post

  OVwMessage m{};
  ASSERT_EQ(1, OVwGetMessage(&m));
  EXPECT_EQ(15, m.event);
  EXPECT_EQ(0, OVwDispatchMessage(&m));
  EXPECT_EQ(-1, OVwDispatchMessage(&m));  // once only
  EXPECT_EQ(OVW_ERR_BAD_ARG, OVwError());
  EXPECT_EQ(-1, OVwGetMessage(nullptr));
  EXPECT_EQ(1u, g_seen.size());

  OVwDone();
  EXPECT_EQ(0, OVwGetMessage(&m));  // not attached: the loop ends
  EXPECT_EQ(-1, OVwDispatchMessage(&m));
}

// --- Fault injection --------------------------------------------------------------------------

TEST_P(OVwBackendTest, EveryCallFailsThroughTheSeamAsItFailsForReal) {
  startMap();
  uint32_t node = addNode({"alpha"});
  ASSERT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwMapInfo *map = OVwGetMapInfo();
  ASSERT_NE(nullptr, map);
  OVwFieldId isnode = OVwDbFieldNameToFieldId("isNode");
  TrueFilter filter({isnode});
  OVwObjectInfo *info = OVwGetObjectInfo(map, node);
  ASSERT_NE(nullptr, info);
  OVwSubmapId submap = info->child_submap_id;
  OVwFreeObjectInfo(info);
  OVwMapCloseInfo close{map->map_id, 1};
  OVwMessage message{};

  // Each call, made to fail once with a code of the test's choosing: its failure result.
  struct Case {
    const char *name;
    std::function<bool()> fails;
  };
  const std::vector<Case> cases = {
      {"OVwDbInit", [] { return OVwDbInit() == -1; }},
      {"OVwAddCallback", [] { return OVwAddCallback(18, nullptr, record, nullptr) == -1; }},
      {"OVwGetMessage", [&] { return OVwGetMessage(&message) == -1; }},
      {"OVwDispatchMessage", [&] { return OVwDispatchMessage(&message) == -1; }},
      {"OVwGetMapInfo", [] { return OVwGetMapInfo() == nullptr; }},
      {"OVwBeginMapSync", [&] { return OVwBeginMapSync(map) == -1; }},
      {"OVwEndMapSync", [&] { return OVwEndMapSync(map) == -1; }},
      {"OVwAckMapClose", [&] { return OVwAckMapClose(map, &close) == -1; }},
      {"OVwGetSelections", [&] { return OVwGetSelections(map, nullptr) == nullptr; }},
      {"OVwGetSymbolsByObject", [&] { return OVwGetSymbolsByObject(map, node) == nullptr; }},
      {"OVwListSymbols",
       [&] { return OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kApp) == nullptr; }},
      {"OVwGetSymbolInfo", [&] { return OVwGetSymbolInfo(map, 1) == nullptr; }},
      {"OVwGetSubmapInfo", [&] { return OVwGetSubmapInfo(map, submap) == nullptr; }},
      {"OVwGetObjectInfo", [&] { return OVwGetObjectInfo(map, node) == nullptr; }},
      {"OVwListObjectsOnMap", [&] { return OVwListObjectsOnMap(map, &filter.list) == nullptr; }},
      {"OVwCreateSymbol",
       [&] { return OVwCreateSymbol(map, submap, node, "T", "L", 1, 3, 0, 2) == 0; }},
      {"OVwSetSymbolBehavior",
       [&] { return OVwSetSymbolBehavior(map, 1, 0, nullptr, nullptr, nullptr) == -1; }},
      {"OVwDeleteSymbol", [&] { return OVwDeleteSymbol(map, 1) == -1; }},
      {"OVwDbFieldNameToFieldId", [] { return OVwDbFieldNameToFieldId("isNode") == 0; }},
      {"OVwDbGetFieldBooleanValue", [&] { return OVwDbGetFieldBooleanValue(node, isnode) == -1; }},
      {"OVwDbSetFieldBooleanValue",
       [&] { return OVwDbSetFieldBooleanValue(node, isnode, 1) == -1; }},
      {"OVwDbListObjectsByFieldValues",
       [&] { return OVwDbListObjectsByFieldValues(&filter.list) == nullptr; }},
      {"OVwDbObjectIdToSelectionName",
       [&] { return OVwDbObjectIdToSelectionName(node) == nullptr; }},
      {"OVwDbObjectIdToHostname", [&] { return OVwDbObjectIdToHostname(node) == nullptr; }},
      {"OVwDbHostnameToObjectId", [] { return OVwDbHostnameToObjectId("alpha") == 0; }},
      {"OVwDbSelectionNameToObjectId", [] { return OVwDbSelectionNameToObjectId("alpha") == 0; }},
      {"OVwDbCreateObject", [] { return OVwDbCreateObject(nullptr) == 0; }},
      {"OVwDbDeleteObject", [&] { return OVwDbDeleteObject(node) == -1; }},
  };
  int code = 40;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    KestaraFaultClear();
    ASSERT_EQ(0, KestaraFaultAdd(c.name, 1, ++code, 0));
    EXPECT_TRUE(c.fails());
    EXPECT_EQ(code, OVwError());
    EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(code), c.name));
  }
  KestaraFaultClear();
  // Nothing was changed by the failed calls.
  EXPECT_STREQ("alpha", OVwDbObjectIdToHostname(node));
  OVwSymbolList *mine = OVwListSymbols(map, submap, OVW_LIST_BY_APPLICATION, kApp);
  ASSERT_NE(nullptr, mine);
  EXPECT_EQ(0, mine->count);
  OVwFreeSymbolList(mine);
  OVwFreeMapInfo(map);

  // The Nth call, from then on: the session join of a program under test.
  OVwDone();
  ASSERT_EQ(0, KestaraFaultAdd("_OVwInitSession", 2, OVW_ERR_NO_SESSION, 1));
  EXPECT_EQ(0, _OVwInitSession(5, kApp, kSession));
  OVwDone();
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(OVW_ERR_NO_SESSION, OVwError());
  EXPECT_EQ(-1, _OVwInitSession(5, kApp, kSession));
  EXPECT_EQ(nullptr, OVwSessionId());
}

TEST(OVwErrors, MessagesNameTheCodeAndTheLastFailure) {
  EXPECT_STREQ("no error", OVwErrorMsg(OVW_ERR_NONE));
  EXPECT_STREQ("no map open", OVwErrorMsg(OVW_ERR_NO_MAP));
  EXPECT_STREQ("unknown error 77", OVwErrorMsg(77));
  OVwDbDone();
  EXPECT_EQ(0u, OVwDbFieldNameToFieldId("isNode"));  // database not open
  EXPECT_EQ(OVW_ERR_NO_DATABASE, OVwError());
  EXPECT_NE(nullptr, std::strstr(OVwErrorMsg(OVW_ERR_NO_DATABASE), "OVwDbInit"));
  EXPECT_EQ(nullptr, OVwGetMapInfo());
  EXPECT_EQ(OVW_ERR_NO_SESSION, OVwError());
}

OVW_TESTS_ON_EVERY_BACKEND(OVwBackendTest);

}  // namespace
