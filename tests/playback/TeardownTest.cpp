// Letting go of a player: the caller never waits, what the player's callbacks use outlives it,
// and a teardown that never ends is caught by the wait at exit rather than waited for.
#include "Background.h"
#include "MediaLibrary.h"

#include <QElapsedTimer>
#include <QTest>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <vlc/vlc.h>

namespace {

// A stream whose reads block until it is let through: a server that has stopped answering.
struct Gate
{
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    bool reading = false;

    void Open()
    {
        const std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
    static int OpenMedia(void* opaque, void** data, uint64_t* size)
    {
        *data = opaque;
        *size = UINT64_MAX;
        return 0;
    }
    static ssize_t Read(void* opaque, unsigned char*, size_t)
    {
        auto* gate = static_cast<Gate*>(opaque);
        std::unique_lock lock(gate->mutex);
        gate->reading = true;
        gate->opened.notify_all();
        gate->opened.wait(lock, [gate] { return gate->open; });
        return 0; // the end of the stream
    }
};

TEST(Teardown, AStuckStopHoldsNobodyAndIsCaughtAtExit)
{
    // Players that earlier tests let go of end first: only this one's teardown is counted.
    ASSERT_TRUE(background::WaitForAll(std::chrono::seconds(20)));
    const VlcInstance instance = CreateVlcInstance();
    ASSERT_TRUE(instance);
    auto gate = std::make_shared<Gate>();
    const VlcMedia media(libvlc_media_new_callbacks(instance.get(), Gate::OpenMedia, Gate::Read,
                                                    nullptr, nullptr, gate.get()));
    VlcPlayer player = CreateVlcPlayer(media.get());
    ASSERT_TRUE(player);
    libvlc_media_player_play(player.get());
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(
            gate->opened.wait_for(lock, std::chrono::seconds(20), [&] { return gate->reading; }));
    }

    const int before = background::Pending();
    const std::weak_ptr<Gate> kept = gate;
    QElapsedTimer clock;
    clock.start();
    LetGoOf(std::move(player), gate);
    Gate* const stuck = gate.get();
    gate.reset();
    EXPECT_LT(clock.elapsed(), 1000) << "letting go waited for the stop";

    // libvlc's stop waits for the read: the teardown does not end, and the exit's wait says so.
    EXPECT_FALSE(background::WaitForAll(std::chrono::milliseconds(300)));
    EXPECT_EQ(background::Pending(), before + 1);
    EXPECT_FALSE(kept.expired()) << "the stream went while the player could still read it";

    stuck->Open();
    EXPECT_TRUE(background::WaitForAll(std::chrono::seconds(20)));
    EXPECT_TRUE(kept.expired()) << "what the player used is kept after its release";
}

} // namespace
