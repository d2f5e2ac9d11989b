// The load entry ran the initialisation chain once at program start; nested calls only count;
// the balancing finalisation undoes it in reverse. Cases that take it down run in a child.
#include <ChildProcess.h>
#include <NUVZubContainersEntry.h>

#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubContainersInit.h>
#include <NUVZub/NUVZubUttInit.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const std::string kInitOrder =
    "ZubContainers+ XmlParser+ Shared+ CoreUtils+ GenericsLib+ Alloc+ ZubUtt+ ZubSpecific+";
const std::string kFinalOrder =
    "ZubSpecific- ZubUtt- Alloc- GenericsLib- CoreUtils- Shared- XmlParser- ZubContainers-";

std::string Log() { return NUVBasLifecycle_Log(); }

// Writes "name=value" lines to stderr for the parent to compare.
void Emit(const char* name, const std::string& value) {
    std::fprintf(stderr, "%s=%s\n", name, value.c_str());
}
void Emit(const char* name, int value) { Emit(name, std::to_string(value)); }

// The load ran the whole chain once, in order; the entry's thread reasons, or a process reason
// on top of the load, only count.
TEST(Initialisation, LoadRanTheChainOnceAndLaterEntryReasonsOnlyCount) {
    EXPECT_EQ(NUVZubContainers_EntryDispatch(NUVZubEntryThreadAttach), 1);
    EXPECT_EQ(NUVZubContainers_EntryDispatch(NUVZubEntryThreadDetach), 1);
    EXPECT_EQ(NUVZubContainers_EntryDispatch(NUVZubEntryProcessAttach), 1);
    EXPECT_EQ(NUVZubContainers_EntryDispatch(NUVZubEntryProcessDetach), 1);
    EXPECT_EQ(Log(), kInitOrder) << "no dependency was initialised or finalised again";
}

TEST(Initialisation, BalancingTheLoadFinalisesInReverseAndReinitialisingAddsEight) {
    ChildResult r = RunInChild([] {
        NUVZubContainers_EntryDispatch(NUVZubEntryProcessDetach); // the load's own unload
        NUVBasLifecycle_Clear();
        int count = 100;
        NUVZubContainers_initialize(count);
        Emit("init", Log());
        Emit("initCount", count);
        NUVZubContainers_initialize(count);
        Emit("nestedCount", count);
        NUVBasLifecycle_Clear();
        NUVZubContainers_finalize(count);
        Emit("afterInner", Log());
        NUVZubContainers_finalize(count);
        Emit("final", Log());
        Emit("finalCount", count);
        // The client entries keep a count of their own.
        NUVBasLifecycle_Clear();
        NUVZubContainers_initializeC();
        Emit("initC", Log());
        NUVBasLifecycle_Clear();
        NUVZubContainers_finalizeC();
        Emit("finalC", Log());
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Itself, its utility layer and its hook, plus the five base libraries: 108.
    EXPECT_EQ(r.err, "init=" + kInitOrder +
                         "\ninitCount=108\nnestedCount=108\nafterInner=\nfinal=" + kFinalOrder +
                         "\nfinalCount=100\ninitC=" + kInitOrder + "\nfinalC=" + kFinalOrder +
                         "\n");
}

TEST(Initialisation, EachUnitCountsItsOwnFirstInitialisation) {
    ChildResult r = RunInChild([] {
        NUVZubContainers_EntryDispatch(NUVZubEntryProcessDetach);
        NUVBasLifecycle_Clear();
        int count = -3;
        NUVZubUtt_initialize(count);
        NUVZubUtt_initialize(count);
        Emit("utt", count);
        NUVZubContainers_specific_initialize(count);
        Emit("specific", count);
        // The utility layer and the hook are up already: the chain adds itself
        // and the five base libraries only.
        NUVZubContainers_initialize(count);
        Emit("containers", count);
        Emit("log", Log());
        NUVZubUtt_finalize(count);
        NUVZubContainers_specific_finalize(count);
        NUVZubContainers_finalize(count);
        Emit("stillUp", count);
        NUVZubUtt_finalize(count);
        Emit("utt-", count);
        return 0;
    });
    // Everything but the utility layer, which keeps one level of its own, is down
    // at stillUp; balanced calls give the starting count back.
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "utt=-2\nspecific=-1\ncontainers=5\nlog=ZubUtt+ ZubSpecific+ ZubContainers+ "
                     "XmlParser+ Shared+ CoreUtils+ GenericsLib+ Alloc+\nstillUp=-2\nutt-=-3\n");
}

} // namespace
