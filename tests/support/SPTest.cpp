// Counted references: SP, SPBase and the intrusive count of SPEnabled.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "SP.h"
#include "SPEnabled.h"

namespace {

// Reports its own destruction, which must come through SPEnabled's virtual
// destructor when the last reference goes.
class Tracked : public SPEnabled {
public:
    explicit Tracked(int* destroyed) : destroyed_(destroyed) {}
    ~Tracked() override
    {
        ++*destroyed_;
        if (sumAtDestruction != nullptr)
            for (int v : perThread)
                *sumAtDestruction += v;
    }
    Tracked(const Tracked& other) = default;
    Tracked& operator=(const Tracked& other) = default;

    int perThread[8] = {};
    int* sumAtDestruction = nullptr;

private:
    int* destroyed_;
};

TEST(SPTest, CountsReferencesAndLastOneDeletesThroughVirtualDestructor)
{
    int destroyedFirst = 0;
    int destroyedSecond = 0;
    SP<Tracked> a(new Tracked(&destroyedFirst));
    {
        SP<Tracked> b(a);
        SP<Tracked> c;
        c = b;
        SP<Tracked>& same = c;
        c = same; // self-assignment must not drop the object
        EXPECT_EQ(a->refCount(), 3);
        // A copy of the object is a new object without references.
        Tracked copy(*a);
        copy = *a;
        EXPECT_EQ(copy.refCount(), 0);
    }
    EXPECT_EQ(destroyedFirst, 1); // the stack copy only
    EXPECT_EQ(a->refCount(), 1);

    // Held only through the untyped base (as by a registry holding probes
    // made from their own pointer): still deleted as a Tracked.
    SPBase* untyped = new SPBase(a.get());
    SP<Tracked> second(new Tracked(&destroyedSecond));
    a = second;
    EXPECT_EQ(destroyedFirst, 1);
    delete untyped;
    EXPECT_EQ(destroyedFirst, 2);

    EXPECT_EQ(second->refCount(), 2);
    a.assign(static_cast<SPEnabled*>(nullptr));
    EXPECT_EQ(second->refCount(), 1);
    second = static_cast<Tracked*>(nullptr);
    EXPECT_EQ(destroyedSecond, 1);
}

TEST(SPTest, ReferencesTakenAndDroppedOnManyThreadsDeleteOnceAfterEveryWrite)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 5000;
    int destroyed = 0;
    int sum = 0;
    SP<Tracked> shared(new Tracked(&destroyed));
    shared->sumAtDestruction = &sum;
    // Each thread writes its own slot through its reference before dropping
    // it; whichever thread deletes must see every write.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        SP<Tracked> mine(shared);
        threads.emplace_back([mine, t] {
            for (int i = 0; i < kRounds; ++i) {
                SP<Tracked> copy(mine);
                SP<Tracked> other;
                other = copy;
                other->perThread[t] += 1;
            }
        });
    }
    shared = static_cast<Tracked*>(nullptr); // the threads now hold the last references
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(sum, kThreads * kRounds);
}

} // namespace
