#include "platform/foundation/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

class NotificationCenterTest : public ::testing::Test {
  protected:
    NotificationBlock record(std::string label) {
        return [this, label](const Notification& n) { calls.push_back(label + ":" + n.name); };
    }

    NotificationCenter center;
    std::vector<std::string> calls;
};

TEST_F(NotificationCenterTest, ObserversRunInRegistrationOrderAndFilter) {
    const int sender = 0;
    const int other = 0;
    auto all = center.addObserverForName("", nullptr, record("all"));
    auto named = center.addObserverForName("ping", nullptr, record("named"));
    auto fromSender = center.addObserverForName("ping", &sender, record("sender"));
    auto elsewhere = center.addObserverForName("pong", nullptr, record("pong"));

    Notification seen;
    auto observer =
        center.addObserverForName("ping", nullptr, [&](const Notification& n) { seen = n; });

    center.postNotificationName("ping", &sender, {{"enabled", true}});
    center.postNotificationName("ping", &other);
    EXPECT_EQ(calls, (std::vector<std::string>{"all:ping", "named:ping", "sender:ping", "all:ping",
                                               "named:ping"}));
    EXPECT_EQ(seen.object, &other);
    center.postNotificationName("ping", &sender, {{"enabled", true}});
    EXPECT_EQ(seen.object, &sender);
    EXPECT_EQ(seen.userInfo, (Dictionary{{"enabled", true}}));
}

TEST_F(NotificationCenterTest, DestroyedObserverStopsDelivery) {
    {
        auto observer = center.addObserverForName("n", nullptr, record("scoped"));
        center.postNotificationName("n");
    }
    auto reset = center.addObserverForName("n", nullptr, record("reset"));
    NotificationObserver moved = std::move(reset);
    center.postNotificationName("n");
    moved.reset();
    EXPECT_FALSE(moved);
    center.postNotificationName("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"scoped:n", "reset:n"}));
}

TEST_F(NotificationCenterTest, ChangesDuringAPostApplyFromTheNextOne) {
    NotificationObserver first;
    NotificationObserver second;
    NotificationObserver added;
    auto nested = center.addObserverForName("nested", nullptr, record("nested"));
    first = center.addObserverForName("n", nullptr, [&](const Notification& n) {
        calls.push_back("first:" + n.name);
        first.reset();   // an observer may remove itself
        second.reset();  // removed during the post: must not run afterwards
        added = center.addObserverForName("n", nullptr, record("added"));
        center.postNotificationName("nested");
    });
    second = center.addObserverForName("n", nullptr, record("second"));
    center.postNotificationName("n");
    center.postNotificationName("n");
    EXPECT_EQ(calls, (std::vector<std::string>{"first:n", "nested:nested", "added:n"}));
}

TEST_F(NotificationCenterTest, OwnerRegistrationsAreRemovedTogetherOrSelectively) {
    const int owner = 0;
    const int sender = 0;
    center.addObserver(&owner, "a", nullptr, record("a"));
    center.addObserver(&owner, "b", nullptr, record("b"));
    center.addObserver(&owner, "b", &sender, record("b-sender"));
    center.removeObserver(&owner, "b", &sender);
    center.postNotificationName("b", &sender);
    center.removeObserver(&owner, "a", nullptr);
    center.postNotificationName("a");
    center.postNotificationName("b");
    center.removeObserver(&owner);
    center.postNotificationName("b");
    EXPECT_EQ(calls, (std::vector<std::string>{"b:b", "b:b"}));
}

TEST_F(NotificationCenterTest, RemovalFromAnotherThreadWaitsForARunningBlock) {
    std::promise<void> entered;
    std::promise<void> release;
    auto released = release.get_future().share();
    std::vector<std::string> events;
    std::mutex eventsMutex;
    auto note = [&](const char* event) {
        std::lock_guard lock(eventsMutex);
        events.emplace_back(event);
    };
    auto observer = center.addObserverForName("n", nullptr, [&](const Notification&) {
        entered.set_value();
        released.wait();
        note("block returned");
    });
    std::thread poster([&] { center.postNotificationName("n"); });
    entered.get_future().wait();
    std::thread remover([&] {
        observer.reset();
        note("removed");
    });
    release.set_value();
    remover.join();
    poster.join();
    EXPECT_EQ(events, (std::vector<std::string>{"block returned", "removed"}));
}

TEST(NotificationCenterLifetimeTest, ObserverMayOutliveItsCentre) {
    NotificationObserver observer;
    {
        NotificationCenter center;
        observer = center.addObserverForName("n", nullptr, [](const Notification&) {});
    }
    observer.reset();
    EXPECT_FALSE(observer);
}

TEST(NotificationCenterLifetimeTest, ConcurrentPostsAndRemovalsAreSafe) {
    NotificationCenter center;
    std::atomic<int> delivered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                auto observer = center.addObserverForName(
                    "n", nullptr, [&](const Notification&) { ++delivered; });
                center.postNotificationName("n");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_GE(delivered.load(), 800);
}

}  // namespace
}  // namespace platform
