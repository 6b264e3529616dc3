#include "p2p/transport/GreetingGate.h"

#include "p2p/protocol/framing/Framing.h"
#include "p2p/protocol/framing/MessageCoder.h"

#include <algorithm>

// g++ 12 pairs Asio's coroutine-frame operator delete with the global operator new in some frames
// and warns; the frames are allocated and freed by Asio's own pair (the sanitizer build checks).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace p2p {

namespace {

const std::string endedText = "问候之前连接已结束";
const std::string notHelloText = "首帧不是问候，关闭连接";
const std::string timedOutText = "未在时限内问候，关闭连接";
const std::string crowdedText = "等待问候的连接过多，关闭最早的一个";
const std::string supersededText = "已有设备问候，关闭其余等待的连接";
const std::string stoppedText = "停止等待，关闭未问候的连接";

} // namespace

ThrottledLog::ThrottledLog(Logger logger, std::function<Clock::time_point()> now)
    : logger_(std::move(logger)), now_(now ? std::move(now) : [] { return Clock::now(); })
{
}

ThrottledLog::~ThrottledLog()
{
    if (!counts_.empty())
        write(now_());
}

void ThrottledLog::note(const std::string& kind)
{
    const auto counted = std::find_if(counts_.begin(), counts_.end(), [&](const auto& c) { return c.first == kind; });
    if (counted == counts_.end())
        counts_.emplace_back(kind, 1);
    else
        ++counted->second;
    const Clock::time_point now = now_();
    if (!lastLine_ || now - *lastLine_ >= std::chrono::seconds(1))
        write(now);
}

void ThrottledLog::write(Clock::time_point now)
{
    std::string line;
    for (const auto& [kind, count] : counts_) {
        if (!line.empty())
            line += "；";
        line += kind;
        if (count > 1 || counts_.size() > 1)
            line += "（" + std::to_string(count) + " 次）";
    }
    counts_.clear();
    lastLine_ = now;
    logger_.notice(line);
}

struct GreetingGate::Pending {
    Pending(asio::any_io_executor executor, std::unique_ptr<ByteStream> s, Greeted greeted)
        : stream(std::move(s)), onGreeted(std::move(greeted)), timer(std::move(executor))
    {
    }
    std::unique_ptr<ByteStream> stream;
    Greeted onGreeted;
    asio::steady_timer timer;
    Bytes received; // everything read so far: at most one small frame and what came with it
    bool done = false;
};

GreetingGate::GreetingGate(asio::any_io_executor executor, std::chrono::milliseconds handshakeTimeout, ThrottledLog& log)
    : executor_(std::move(executor)), handshakeTimeout_(handshakeTimeout), log_(log)
{
}

GreetingGate::~GreetingGate()
{
    closeAll();
}

void GreetingGate::add(std::unique_ptr<ByteStream> stream, Greeted onGreeted)
{
    if (pending_.size() >= maximumPending)
        close(pending_.front(), crowdedText);
    auto pending = std::make_shared<Pending>(executor_, std::move(stream), std::move(onGreeted));
    pending_.push_back(pending);
    pending->timer.expires_after(handshakeTimeout_);
    std::weak_ptr<Pending> weak = pending;
    std::weak_ptr<int> alive = alive_;
    pending->timer.async_wait([this, weak, alive](const asio::error_code& error) {
        auto waiting = weak.lock();
        if (!error && waiting && !alive.expired())
            close(waiting, timedOutText);
    });
    asio::co_spawn(executor_, greet(pending, alive_), asio::detached);
}

void GreetingGate::closeAll()
{
    closeAll(stoppedText);
}

void GreetingGate::closeAll(const std::string& why)
{
    while (!pending_.empty())
        close(pending_.front(), why);
}

void GreetingGate::forget(std::shared_ptr<Pending> pending)
{
    pending->done = true;
    pending->timer.cancel();
    pending_.remove(pending);
}

void GreetingGate::close(std::shared_ptr<Pending> pending, const std::string& why)
{
    if (pending->done)
        return;
    forget(pending);
    log_.note(why);
    // Closing cancels the read waiting on it; the stream lives until that read has returned.
    auto closing = [](std::shared_ptr<Pending> p) -> asio::awaitable<void> { co_await p->stream->close(); };
    asio::co_spawn(executor_, closing(pending), asio::detached);
}

void GreetingGate::admit(std::shared_ptr<Pending> pending)
{
    forget(pending);
    // The first hello takes the session: nobody else waits for it any more.
    closeAll(supersededText);
    pending->onGreeted(std::move(pending->stream), std::move(pending->received));
}

asio::awaitable<void> GreetingGate::greet(std::shared_ptr<Pending> pending, std::weak_ptr<int> alive)
{
    FrameDecoder decoder(Framing::preAuthenticationMaximumFrameByteCount);
    for (;;) {
        std::optional<Bytes> piece;
        bool failed = false;
        try {
            piece = co_await pending->stream->receive();
        } catch (...) {
            failed = true;
        }
        if (alive.expired() || pending->done)
            co_return;
        if (failed || !piece) {
            close(pending, endedText);
            co_return;
        }
        pending->received.insert(pending->received.end(), piece->begin(), piece->end());
        decoder.append(*piece);
        // A ping before the hello is answered here, and its bytes never reach the session.
        int pings = 0;
        bool isHello = false;
        bool isOther = false;
        try {
            while (std::optional<FrameDecoder::Frame> frame = decoder.nextFrame()) {
                const auto frameSize = static_cast<std::ptrdiff_t>(
                    Framing::lengthPrefixByteCount + Framing::headerByteCount + frame->payload.size());
                const Message message = MessageCoder::decode(std::move(*frame));
                isHello = std::holds_alternative<Hello>(message);
                isOther = !isHello && !std::holds_alternative<Ping>(message);
                if (isHello || isOther)
                    break;
                ++pings;
                pending->received.erase(pending->received.begin(), pending->received.begin() + frameSize);
            }
        } catch (...) {
            isOther = true; // too large, malformed or of an unknown type
        }
        if (isOther) {
            close(pending, notHelloText);
            co_return;
        }
        bool answered = true;
        for (; pings > 0 && answered; --pings) {
            try {
                co_await pending->stream->send(MessageCoder::encode(Message(Pong())));
            } catch (...) {
                answered = false;
            }
            if (alive.expired() || pending->done)
                co_return;
        }
        if (!answered) {
            close(pending, endedText);
            co_return;
        }
        if (isHello) {
            admit(pending);
            co_return;
        }
    }
}

} // namespace p2p
