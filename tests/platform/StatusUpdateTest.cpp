#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "platform/StatusUpdate.h"

namespace {
// A host-side sink that keeps what arrives instead of showing it.
class CCollectingSink : public CStatusUpdate
{
public:
    void DisplayError(const CString& text, WORD nID) override { errors.push_back({text.str(), nID}); }
    std::vector<std::pair<std::string, WORD>> errors;
};

class CPart : public CStatusUpdate
{
};
} // namespace

TEST(CStatusUpdate, MessagesTravelToTheEndOfTheChainEvenARing)
{
    CCollectingSink sink;
    CPart programmer, device, channel;
    programmer.SetStatusUpdate(&sink);
    device.SetStatusUpdate(&programmer);
    channel.SetStatusUpdate(&device);

    CString composed("/dev/ttyUSB0:' write time out");
    channel.DisplayError(composed, 15004);
    EXPECT_EQ(sink.errors, (std::vector<std::pair<std::string, WORD>>{{composed.str(), 15004}}));

    // Attached to itself, a part ends the chain and shows what it gets.
    zftest::RecordingHost host;
    CPart part;
    EXPECT_EQ(part.SetStatusUpdate(&sink), &part); // was unattached
    EXPECT_EQ(part.SetStatusUpdate(&part), &sink);
    part.DisplayError("", 15026);
    EXPECT_EQ(sink.errors.size(), 1u);
    // A circular attachment does not hang.
    CPart a, b;
    a.SetStatusUpdate(&b);
    b.SetStatusUpdate(&a);
    a.DisplayError("loop");
    a.GetProgress() += 1;
    std::vector<std::tuple<eStatusKind, std::string, WORD>> shown;
    for (const auto& s : host.shown)
        shown.emplace_back(s.kind, s.text, s.id);
    EXPECT_EQ(shown, (decltype(shown){{skError, "Unable to open comms", 15026}, {skError, "loop", 0}}));
}

TEST(CStatusUpdate, DisplaysQuestionsAndPropertyChangesReachTheHostAndProgressLivesAtTheEnd)
{
    zftest::RecordingHost host;
    CPart end, part;
    part.SetStatusUpdate(&end);
    // Advanced messages show only where the end of the chain is advanced.
    part.SetAdvancedUser(true);
    part.DisplayAdvancedMessage("BRR Value = 12");
    EXPECT_TRUE(host.shown.empty());
    end.SetAdvancedUser(true);
    part.DisplayProperties("p");
    part.DisplayTaskMessage("t");
    part.DisplayMessage("m");
    part.DisplaySuccessMessage("", 15056);
    part.DisplayAdvancedMessage("a");
    part.DisplayWarning("w");
    part.DisplayError("e");
    std::vector<eStatusKind> kinds;
    for (const auto& s : host.shown)
        kinds.push_back(s.kind);
    EXPECT_EQ(kinds, (std::vector<eStatusKind>{skProperties, skTask, skMessage, skSuccess, skAdvanced, skWarning,
                                               skError}));
    EXPECT_EQ(host.shown[3].text, "Connection complete");

    host.answer = qtNo;
    EXPECT_EQ(part.QueryUser("The connection has been lost, re-connect?", qtYesNo), qtNo);
    ASSERT_EQ(host.questions.size(), 1u);
    EXPECT_EQ(host.questions[0].style, qtYesNo);
    part.OnPropertyChange();
    EXPECT_EQ(host.propertyChanges, std::vector<CStatusUpdate*>{&end});

    // Progress lives at the end of the chain.
    part.SetProgressRange(0, 4096);
    part.SetProgressString("Writing");
    part.GetProgress() = 0;
    part.GetProgress() += 256;
    part.GetProgress() += 256;
    EXPECT_EQ(end.GetProgress().load(), 512u);
    EXPECT_EQ(end.GetProgressString(), "Writing");
    DWORD lo = 1, hi = 0;
    end.GetProgressRange(lo, hi);
    EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(DWORD{0}, DWORD{4096}));
    part.SetStatusUpdate(&part);
    EXPECT_EQ(part.GetProgress().load(), 0u);
}

TEST(CStatusForward, EachRuleLeavesThePartWhereItSays)
{
    const struct
    {
        eForwardEnd rule;
        bool bAttachedBefore;
        bool bBackToOuter;
    } cases[] = {
        {feRestore, false, false},
        {feRestore, true, true},
        {feDetach, false, false},
        {feDetach, true, false},
    };
    for (const auto& c : cases) {
        for (const bool bEndEarly : {false, true}) {
            SCOPED_TRACE(testing::Message() << "rule " << c.rule << ", attached " << c.bAttachedBefore << ", early "
                                            << bEndEarly);
            CCollectingSink outer, target;
            CPart part;
            if (c.bAttachedBefore)
                part.SetStatusUpdate(&outer);
            CStatusUpdate* expected = c.bBackToOuter ? static_cast<CStatusUpdate*>(&outer) : &part;
            {
                CStatusForward forward(&part, &target, c.rule);
                part.DisplayError("during", 0);
                if (bEndEarly) {
                    forward.End();
                    EXPECT_EQ(part.GetStatusUpdate(), expected);
                    // Once ended, the scope's end leaves the part alone.
                    part.SetStatusUpdate(&target);
                    expected = &target;
                }
            }
            EXPECT_EQ(part.GetStatusUpdate(), expected);
            EXPECT_EQ(target.errors.size(), 1u);
            EXPECT_TRUE(outer.errors.empty());
        }
    }
    CCollectingSink target;
    CStatusForward nothing(nullptr, &target, feDetach);
    nothing.End();
}

TEST(CHostUI, DefaultHostNeverBlocksAndAnswersConservatively)
{
    CHostUI& host = GetHostUI();
    EXPECT_EQ(host.GetDefaultAnswer(qtYesNo), qtNo);
    EXPECT_EQ(host.GetDefaultAnswer(qtYesNoCancel), qtCancel);
    EXPECT_EQ(host.GetDefaultAnswer(qtAbortRetryIgnore), qtAbort);
    CPart part;
    testing::internal::CaptureStderr();
    EXPECT_EQ(part.QueryUser("Erase?", qtYesNo), qtNo);
    part.DisplayError("", 15025);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Erase? [answered No]"), std::string::npos);
    EXPECT_NE(err.find("error: Erase failed"), std::string::npos);
}
