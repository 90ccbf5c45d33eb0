// The framing functions on real descriptors: what the reader returns for a byte stream, and the
// exact bytes the writer puts out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "platform/runtime/IOStream.h"

namespace {

using namespace std::string_literals;

// The longest response text a frame may carry.
const std::string& LongestText() {
    static const std::string text(kMaxResponseLength, 'x');
    return text;
}

// A pipe whose writer has already sent `input` and closed its end.
class FilledPipe {
  public:
    explicit FilledPipe(const std::string& input) {
        EXPECT_EQ(pipe(fds_), 0);
        EXPECT_EQ(write(fds_[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds_[1]);
    }
    ~FilledPipe() { close(fds_[0]); }
    int fd() const { return fds_[0]; }
    std::string Rest() const {
        std::string rest;
        char buf[256];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(n));
        return rest;
    }

  private:
    int fds_[2] = {-1, -1};
};

struct ReadCase {
    const char* name;
    std::string input;
    std::optional<std::string> text;  // nullopt: no message (length 0, null text)
    std::string rest;                 // bytes the reader must leave unread
};

// ctest shows the case by its name.
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadFromNativeMessagingTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadFromNativeMessagingTest, ReturnsTheMessageOrNone) {
    const ReadCase& c = GetParam();
    FilledPipe pipe(c.input);
    char* text = reinterpret_cast<char*>(1);
    uint32_t length = 77;
    ASSERT_EQ(ReadFromNativeMessaging(&text, pipe.fd(), &length), 0);
    if (c.text) {
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(length, c.text->size());
        EXPECT_EQ(std::string(text, length), *c.text);
        EXPECT_EQ(text[length], '\0');
    } else {
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(length, 0u);
    }
    EXPECT_EQ(pipe.Rest(), c.rest);
    free(text);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadFromNativeMessagingTest,
    testing::Values(ReadCase{"FiveBytes", "\x05\0\0\0hello"s, "hello", ""},
                    ReadCase{"LittleEndianLength", "\x00\x01\0\0"s + std::string(256, 'a') + "next",
                             std::string(256, 'a'), "next"},
                    ReadCase{"EmbeddedNulIsKept", "\x03\0\0\0a\0b"s, "a\0b"s, ""},
                    ReadCase{"ZeroLengthReadsNoFurther", "\0\0\0\0\x02\0\0\0{}"s, std::nullopt,
                             "\x02\0\0\0{}"s},
                    ReadCase{"AllOnesLengthReadsNoFurther", "\xff\xff\xff\xff\x02\0\0\0{}"s,
                             std::nullopt, "\x02\0\0\0{}"s},
                    ReadCase{"EmptyInput", "", std::nullopt, ""},
                    ReadCase{"EndOfInputInsideLength", "\x05\0"s, std::nullopt, ""},
                    ReadCase{"EndOfInputInsideBodyEndsLikeEndOfInput", "\x05\0\0\0he"s,
                             std::nullopt, ""}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

TEST(ReadFromNativeMessaging, CompletesALengthThatArrivesInPieces) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([fd = fds[1]] {
        // Two separate writes, with the reader already waiting after the first one.
        EXPECT_EQ(write(fd, "\x02\x00", 2), 2);
        usleep(50 * 1000);
        EXPECT_EQ(write(fd, "\x00\x00{}", 4), 4);
        close(fd);
    });
    char* text = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(ReadFromNativeMessaging(&text, fds[0], &length), 0);
    writer.join();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "{}");
    EXPECT_EQ(length, 2u);
    free(text);
    close(fds[0]);
}

TEST(ReadFromNativeMessaging, AFailedLengthReadCountsAsEndOfInput) {
    // As when no byte of the length arrives: the loop ends as at end of input.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    char* text = nullptr;
    uint32_t length = 9;
    EXPECT_EQ(ReadFromNativeMessaging(&text, fds[1], &length), 0);  // EBADF: write end
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 0u);
    close(fds[0]);
    close(fds[1]);
}

// A signal with a handler that does not restart system calls arrives every millisecond on the
// test's thread, so the framing's reads and writes are interrupted again and again. The helper
// thread that feeds or drains the pipe never takes the signal.
class InterruptingTimer {
  public:
    InterruptingTimer() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &previous_);  // no SA_RESTART: calls fail with EINTR
        const struct itimerval every_ms {
            {0, 1000}, { 0, 1000 }
        };
        setitimer(ITIMER_REAL, &every_ms, nullptr);
    }
    ~InterruptingTimer() {
        const struct itimerval off {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous_, nullptr);
    }
    // Runs `body` on a thread that has SIGALRM blocked.
    template <typename Body>
    static std::thread Helper(Body body) {
        sigset_t alarm, old;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, &old);
        std::thread helper(body);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return helper;
    }

  private:
    struct sigaction previous_ {};
};

TEST(Framing, SignalsInterruptingReadsAndWritesAreRetried) {
    InterruptingTimer timer;
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    std::thread feeder = InterruptingTimer::Helper([fd = in[1]] {
        usleep(20 * 1000);
        EXPECT_EQ(write(fd, "\x02\x00", 2), 2);
        usleep(20 * 1000);
        EXPECT_EQ(write(fd, "\x00\x00{", 3), 3);
        usleep(20 * 1000);
        EXPECT_EQ(write(fd, "}", 1), 1);
        close(fd);
    });
    char* text = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(ReadFromNativeMessaging(&text, in[0], &length), 0);
    feeder.join();
    close(in[0]);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), "{}");
    free(text);

    // A frame far larger than the pipe goes out in interrupted pieces and still arrives whole.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    std::string received;
    std::thread drainer = InterruptingTimer::Helper([fd = out[0], &received] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
            received.append(buf, static_cast<size_t>(n));
            if (received.size() % (256 * 1024) < sizeof buf) usleep(5 * 1000);
        }
    });
    EXPECT_EQ(WriteToNativeMessaging(LongestText().c_str(), out[1]), 0);
    close(out[1]);
    drainer.join();
    close(out[0]);
    EXPECT_EQ(received.size(), kMaxResponseLength + 4);
    EXPECT_TRUE(received.substr(4) == LongestText());
}

struct WriteCase {
    const char* name;
    std::string text;
    int result;
    std::string written;
};

// ctest shows the case by its name.
void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

class WriteToNativeMessagingTest : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteToNativeMessagingTest, WritesTheExactFrame) {
    const WriteCase& c = GetParam();
    FILE* file = tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(WriteToNativeMessaging(c.text.c_str(), fileno(file)), c.result);
    std::string written;
    lseek(fileno(file), 0, SEEK_SET);
    char buf[65536];
    ssize_t n;
    while ((n = read(fileno(file), buf, sizeof buf)) > 0)
        written.append(buf, static_cast<size_t>(n));
    fclose(file);
    EXPECT_EQ(written.size(), c.written.size());
    EXPECT_TRUE(written == c.written) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Frames, WriteToNativeMessagingTest,
                         testing::Values(WriteCase{"Braces", "{}", 0, "\x02\0\0\0{}"s},
                                         WriteCase{"ExactlyTheLimitIsANormalFrame", LongestText(),
                                                   0, "\0\0\x10\0"s + LongestText()},
                                         WriteCase{"OneByteOverTheLimitWritesOnlyTheSentinel",
                                                   LongestText() + "x", -1, "\xff\xff\xff\xff"s}),
                         [](const testing::TestParamInfo<WriteCase>& info) {
                             return info.param.name;
                         });

TEST(WriteToNativeMessaging, FailsOnANullTextAndOnAClosedReader) {
    EXPECT_EQ(WriteToNativeMessaging(nullptr, STDOUT_FILENO), -1);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(WriteToNativeMessaging("{}", fds[1]), -1);
    close(fds[1]);
}

}  // namespace
