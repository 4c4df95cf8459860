// The service's core in this process, fed by SDL's virtual controllers and
// read back through real rings in shared memory, as any consumer reads them.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "PadButtons.h"
#include "PadService.h"
#include "SdlSession.h"
#include "VirtualController.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::SharedPadRingConsumer;

// A controller plugged into SDL: every button and axis a game controller has.
class VirtualPad {
public:
    explicit VirtualPad(const char* name)
        : m_joystick(SDL_JoystickOpen(padservice::AttachVirtualController(name))) {
        EXPECT_NE(nullptr, m_joystick) << SDL_GetError();
    }
    ~VirtualPad() { padservice::DetachVirtualController(m_joystick); }

    void Button(int button, bool down) { SDL_JoystickSetVirtualButton(m_joystick, button, down); }
    // SDL's values: triggers -32768 (rest) to 32767, y growing downwards.
    void Axis(SDL_GameControllerAxis axis, Sint16 value) {
        SDL_JoystickSetVirtualAxis(m_joystick, axis, value);
    }

private:
    SDL_Joystick* m_joystick;
};

// hold, trigger, release, stick x and y
using Sample = std::tuple<qor::bit32, qor::bit32, qor::bit32, int, int>;
using Samples = std::vector<Sample>;

class PadServiceTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (int player = 0; player < 4; ++player) {
            shm_unlink(("/" + m_prefix + std::to_string(player)).c_str());
        }
    }

    // The service, and a consumer on each player's ring.
    padservice::PadService& Start(int players) {
        padservice::ServiceOptions options;
        options.prefix = m_prefix;
        options.players = players;
        m_service = std::make_unique<padservice::PadService>(
            options, [this](const std::string& line) { m_reports.push_back(line); });
        for (int player = 0; player < players; ++player) {
            m_consumers.push_back(SharedPadRingConsumer::Open(m_service->RingName(player)));
        }
        m_cursors.assign(players, {-1, -1});
        return *m_service;
    }

    // The samples new to a player's consumer, oldest first.
    Samples Read(int player) {
        PadStatus newest[7];
        qor::s32 count = 0;
        auto& [tick, index] = m_cursors[player];
        m_consumers[player].Ring().ReadData(newest, 7, &count, &tick, &index);
        Samples samples;
        for (qor::s32 i = count - 1; i >= 0; --i) {
            const PadStatus& sample = newest[i];
            samples.emplace_back(sample.hold, sample.trigger, sample.release, sample.stick.x,
                                 sample.stick.y);
        }
        return samples;
    }
    qor::hidlow::QVA::SharedPadDevice Device(int player) const {
        return m_consumers[player].Device().value();
    }

    const std::string m_prefix = "padservice-test-" + std::to_string(getpid()) + "-";
    std::vector<std::string> m_reports;
    padservice::SdlSession m_sdl;
    std::unique_ptr<padservice::PadService> m_service;
    std::vector<SharedPadRingConsumer> m_consumers;
    std::vector<std::pair<qor::s64, qor::s32>> m_cursors;
};

TEST_F(PadServiceTest, ButtonsTriggersAndTheStickReachTheRingAsMapped) {
    VirtualPad pad("pad under test");
    auto& service = Start(2);
    // SDL's resting y, 0, is -1 upwards.
    EXPECT_EQ((Samples{{0, 0, 0, 0, -1}}), Read(0));

    // The virtual controller has every button but the touchpad.
    for (int button = 0; button < padservice::kButtonBits - 1; ++button) {
        const qor::bit32 bit = qor::bit32{1} << button;
        pad.Button(button, true);
        EXPECT_TRUE(service.Poll());
        EXPECT_EQ((Samples{{bit, bit, 0, 0, -1}}), Read(0));
        if (button == SDL_CONTROLLER_BUTTON_GUIDE) {
            SDL_Delay(250);  // SDL holds back a guide release until the press is 250 ms old
        }
        pad.Button(button, false);
        service.Poll();
        EXPECT_EQ((Samples{{0, 0, bit, 0, -1}}), Read(0));
    }
    const qor::bit32 left = 1u << padservice::kLeftTriggerBit;
    const qor::bit32 right = 1u << padservice::kRightTriggerBit;
    pad.Axis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, 32767);
    pad.Axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, 32767);
    service.Poll();
    EXPECT_EQ((Samples{{left | right, left | right, 0, 0, -1}}), Read(0));
    // SDL halves a trigger's range: -1 is 16383, just short of the threshold.
    // A change while the other is held: trigger and release name what changed.
    pad.Axis(SDL_CONTROLLER_AXIS_TRIGGERLEFT, -1);
    service.Poll();
    EXPECT_EQ((Samples{{right, 0, left, 0, -1}}), Read(0));
    pad.Axis(SDL_CONTROLLER_AXIS_TRIGGERRIGHT, -32768);
    service.Poll();
    EXPECT_EQ((Samples{{0, 0, right, 0, -1}}), Read(0));

    // x as SDL has it; y mirrored, SDL's top (-32768) the ring's 32767.
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, 32767);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTY, -32768);
    service.Poll();
    EXPECT_EQ((Samples{{0, 0, 0, 32767, 32767}}), Read(0));
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTX, -32768);
    pad.Axis(SDL_CONTROLLER_AXIS_LEFTY, 32767);
    service.Poll();
    EXPECT_EQ((Samples{{0, 0, 0, -32768, -32768}}), Read(0));
    // The right stick is not on the ring.
    pad.Axis(SDL_CONTROLLER_AXIS_RIGHTX, 20000);
    EXPECT_FALSE(service.Poll());
    EXPECT_TRUE(Read(0).empty());
}

TEST_F(PadServiceTest, ControllersKeepTheirPlayersAcrossHotPlug) {
    auto first = std::make_unique<VirtualPad>("first pad");
    VirtualPad second("second pad");
    auto& service = Start(3);
    EXPECT_EQ("first pad", Device(0).name);
    EXPECT_EQ("second pad", Device(1).name);
    EXPECT_FALSE(Device(2).connected);
    Read(0);

    // Unplugged holding A: released, and gone from its ring.
    first->Button(SDL_CONTROLLER_BUTTON_A, true);
    service.Poll();
    first.reset();
    service.Poll();
    EXPECT_EQ((Samples{{1, 1, 0, 0, -1}, {0, 0, 1, 0, 0}}), Read(0));
    EXPECT_FALSE(Device(0).connected);

    // A new controller leaves player 0 to the one that had it.
    VirtualPad third("third pad");
    service.Poll();
    EXPECT_EQ("third pad", Device(2).name);
    VirtualPad firstAgain("first pad");
    service.Poll();
    EXPECT_EQ("first pad", Device(0).name);
    EXPECT_EQ(2, Device(0).connections);

    // Beyond the last player, or with no mapping: left out, said once.
    m_reports.clear();
    VirtualPad fourth("fourth pad");
    SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_WHEEL, 1, 0, 0);
    service.Poll();
    service.Poll();
    ASSERT_EQ(2u, m_reports.size());
    EXPECT_EQ("left out 'fourth pad': all 3 players have a controller", m_reports[0]);
    EXPECT_NE(std::string::npos, m_reports[1].find("left out 'Virtual Wheel' (GUID "));
    EXPECT_NE(std::string::npos, m_reports[1].find("has no controller mapping"));
}

}  // namespace
