// Tests of the queue of objects that node events name: coalescing, order, the bound.
#include "event_queue.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Added = NodeEventQueue::Added;

// Takes every waiting object, in order.
std::vector<OVwObjectId> drain(NodeEventQueue &q) {
  std::vector<OVwObjectId> out;
  while (auto object = q.next()) out.push_back(*object);
  return out;
}

TEST(NodeEventQueue, AnObjectNamedAgainWhileWaitingIsProbedOnce) {
  NodeEventQueue q(10);
  EXPECT_EQ(Added::kQueued, q.add(7));
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(Added::kWaiting, q.add(7));
  EXPECT_EQ(1u, q.waiting());
  EXPECT_EQ(std::vector<OVwObjectId>{7}, drain(q));
  q.finished(7);
  EXPECT_FALSE(q.contains(7));
  EXPECT_FALSE(q.next());
}

TEST(NodeEventQueue, AnObjectNamedWhileProbedIsProbedOnceMoreAfterwards) {
  NodeEventQueue q(10);
  q.add(7);
  q.add(8);
  ASSERT_EQ(7u, q.next());
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(Added::kAgain, q.add(7));
  // Not twice at a time: 7 does not wait while its probe runs.
  EXPECT_EQ(std::vector<OVwObjectId>{8}, drain(q));
  EXPECT_EQ(2u, q.probing());
  q.finished(7);  // behind whatever waits by then
  q.add(9);
  EXPECT_EQ((std::vector<OVwObjectId>{7, 9}), drain(q));
  q.finished(7);
  q.finished(8);
  q.finished(9);
  EXPECT_FALSE(q.contains(7));
  EXPECT_EQ(0u, q.probing());
  EXPECT_FALSE(q.next());
}

TEST(NodeEventQueue, ObjectsWaitInTheOrderTheyWereFirstNamed) {
  NodeEventQueue q(10);
  for (OVwObjectId object : {5, 3, 9, 3, 5, 1}) q.add(object);
  EXPECT_EQ((std::vector<OVwObjectId>{5, 3, 9, 1}), drain(q));
}

TEST(NodeEventQueue, BeyondTheCapacityNewObjectsAreRefused) {
  NodeEventQueue q(3);
  EXPECT_EQ(Added::kQueued, q.add(1));
  EXPECT_EQ(Added::kQueued, q.add(2));
  EXPECT_EQ(Added::kQueued, q.add(3));
  EXPECT_EQ(Added::kFull, q.add(4));
  EXPECT_FALSE(q.contains(4));
  // Objects already held are still coalesced, and one being probed still comes back.
  EXPECT_EQ(Added::kWaiting, q.add(2));
  ASSERT_EQ(1u, q.next());
  EXPECT_EQ(Added::kAgain, q.add(1));
  EXPECT_EQ(Added::kFull, q.add(4));
  q.finished(1);  // waits again: still three held
  EXPECT_EQ(Added::kFull, q.add(4));
  EXPECT_EQ((std::vector<OVwObjectId>{2, 3, 1}), drain(q));
  q.finished(2);
  EXPECT_EQ(Added::kQueued, q.add(4));
}

TEST(NodeEventQueue, FinishingAnObjectThatIsNotProbedChangesNothing) {
  NodeEventQueue q(10);
  q.finished(4);
  q.add(4);
  q.finished(4);  // waiting, not probed
  EXPECT_TRUE(q.contains(4));
  EXPECT_EQ(std::vector<OVwObjectId>{4}, drain(q));
}

}  // namespace
