// The serial protocol end to end: the probe, which lines are served, which are refused
// silently or with a log line, and lines that must not hurt the daemon.
#include <string>

#include "board.h"

namespace qftest {
namespace {

constexpr const char* kStatusWith36000 =
    R"({"cmd":"get_stat","cpu_pwr_lmt":100,"cpu_temp":36000,"netconf":0,"ret_val":0,"uuid":)";

std::string statReply(const std::string& uuidJson) {
    return kStatusWith36000 + uuidJson + "}\n";
}

// A get_stat request padded with spaces inside the object to exactly `length` bytes.
std::string paddedRequest(const std::string& uuid, std::size_t length) {
    std::string line = R"({"cmd":"get_stat","uuid":")" + uuid + "\"";
    line.append(length - line.size() - 1, ' ');
    return line + "}";
}

using SerialProtocol = BoardTest;

TEST_F(SerialProtocol, ProbeIsAcknowledgedWithEighteenBytesWhateverFollowsIt) {
    SimulatedBoard& board = boot();
    const std::string probe = SimulatedBoard::kProbe;
    for (const std::string& line : {probe + "\n", probe + "\r\n", probe + " trailing words\n",
                                    probe + R"({"cmd":"get_stat"})" + "\n"}) {
        const LogMark m = board.mark();
        board.send(line);
        EXPECT_EQ(board.readExact(18), SimulatedBoard::kAck) << line;
        EXPECT_EQ(board.fence(), "") << "nothing but the acknowledgement for " << line;
        EXPECT_EQ(board.logSince(m),
                  std::string(SimulatedBoard::kProbeLog) + SimulatedBoard::kProbeLog);
    }
}

TEST_F(SerialProtocol, LinesThatReachNoHandlerGetNoReply) {
    SimulatedBoard& board = boot();
    const std::string probe = SimulatedBoard::kProbe;
    struct Case {
        std::string line;
        std::string log;  // what the daemon writes to stderr for it
    } const cases[] = {
        {"{}", "read fail\n"},
        {R"({"cmd":5,"uuid":"1"})", "read fail\n"},
        {R"({"cmd":null})", "read fail\n"},
        {R"({"cmd":["get_stat"]})", "read fail\n"},
        {R"({"cmd":"GET_STAT","uuid":"1"})", "[QuillFerry] Unkown command"},
        {R"({"cmd":"get_stat "})", "[QuillFerry] Unkown command"},
        {R"([{"cmd":"get_stat"}])", ""},
        {"42", ""},
        {R"("get_stat")", ""},
        {R"({"cmd":"get_stat")", ""},
        {"get_stat", ""},
        {"   ", ""},
        // Every line is parsed on its own: an object split over two lines is two failures.
        {"{\"cmd\":\n\"get_stat\"}", ""},
        {probe.substr(0, 35), ""},
        {"quillferry_status_check_5c81e07b94f2", ""},
        {"QUILLFERRY_STATUS_CHECK_5C81E07B94F2", ""},
    };
    for (const Case& c : cases) {
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(c.line), "") << c.line;
        EXPECT_EQ(board.logSince(m), c.log + SimulatedBoard::kProbeLog) << c.line;
    }
    EXPECT_EQ(board.request(R"({"cmd":"get_stat","uuid":"after"})"), statReply(R"("after")"));
}

TEST_F(SerialProtocol, ServedRequestsEchoTheirUuid) {
    SimulatedBoard& board = boot();
    struct Case {
        std::string line;
        std::string uuid;  // as echoed in the reply
    } const cases[] = {
        {R"({"cmd":"get_stat"})", "null"},
        {R"({"uuid":7,"cmd":"get_stat"})", "7"},
        {R"({"cmd":"get_stat","uuid":"a b c"})", R"("abc")"},
        {R"({"cmd":"get_stat","uuid":{"z":[1, 2],"a":"x"}})", R"({"a":"x","z":[1,2]})"},
        {"{\"cmd\":\"get_stat\",\"uuid\":\"crlf\"}\r", R"("crlf")"},
        {R"({"cmd":"get_stat", /* note */ "uuid":"c"} // trailing comment)", R"("c")"},
        // A zero byte ends the request text; what follows it on the line is ignored.
        {std::string(R"({"cmd":"get_stat","uuid":"z"})") + '\0' +
             R"({"cmd":"get_stat","uuid":"y"})",
         R"("z")"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(board.exchange(c.line), statReply(c.uuid)) << c.line;
    }
}

// The line buffer holds 2047 bytes: a longer line's head is one request text and its tail
// is dropped (never served as a request of its own).
TEST_F(SerialProtocol, OverlongLineIsServedOnceAndItsTailDropped) {
    SimulatedBoard& board = boot();
    const std::string tail = R"({"cmd":"get_stat","uuid":"tail"})";
    struct Case {
        std::string line;
        std::string replies;
        std::string dropped;  // the overlong-line log's count, empty when none is expected
    } const cases[] = {
        {paddedRequest("fits", 2046), statReply(R"("fits")"), ""},
        {paddedRequest("full", 2047), statReply(R"("full")"),
         "discarded 1 bytes after the first 2047"},
        {paddedRequest("head", 2047) + tail, statReply(R"("head")"),
         "discarded " + std::to_string(tail.size() + 1) + " bytes after the first 2047"},
        {std::string(2047, 'x') + tail, "",
         "discarded " + std::to_string(tail.size() + 1) + " bytes"},
        {std::string(3 * 2048 + 5, 'y') + tail, "",
         "discarded " + std::to_string(3 * 2048 + 5 - 2047 + tail.size() + 1) + " bytes"},
    };
    for (const Case& c : cases) {
        const LogMark m = board.mark();
        EXPECT_EQ(board.exchange(c.line), c.replies) << c.line.substr(0, 40);
        const std::string log = board.logSince(m);
        const std::string overlong = "[QuillFerry] overlong line: ";
        if (c.dropped.empty()) {
            EXPECT_EQ(log.find(overlong), std::string::npos) << log;
        } else {
            const auto at = log.find(overlong);
            ASSERT_NE(at, std::string::npos) << log;
            EXPECT_NE(log.find(c.dropped, at), std::string::npos) << log;
            EXPECT_EQ(log.find(overlong, at + 1), std::string::npos) << "logged twice: " << log;
        }
    }
    EXPECT_EQ(board.request(R"({"cmd":"get_stat","uuid":"next"})"), statReply(R"("next")"));
}

TEST_F(SerialProtocol, DeeplyNestedJsonDoesNotStopTheDaemon) {
    SimulatedBoard& board = boot();
    std::string nestedObjects;
    for (int i = 0; i < 400; ++i) nestedObjects += R"({"a":)";
    for (const std::string& line :
         {std::string(2000, '['), std::string(5000, '['), std::string(2000, '{'), nestedObjects}) {
        EXPECT_EQ(board.exchange(line), "") << line.substr(0, 20);
        ASSERT_TRUE(board.daemonRunning()) << board.log();
    }
    EXPECT_EQ(board.request(R"({"cmd":"get_stat","uuid":"alive"})"), statReply(R"("alive")"));
}

TEST_F(SerialProtocol, DeviceThatAppearsLaterIsServed) {
    BoardOptions options;
    options.ttyLater = true;
    board_ = std::make_unique<SimulatedBoard>(options);
    SimulatedBoard& board = *board_;
    board.startDaemon({}, false);
    ASSERT_TRUE(board.waitForLog("Uart Init failed", 5000, Stream::Out)) << board.log(Stream::Out);
    ASSERT_TRUE(board.daemonRunning());
    board.plugTty();
    ASSERT_TRUE(board.waitReady()) << board.log(Stream::Out);
    EXPECT_EQ(board.request(R"({"cmd":"get_stat","uuid":"late"})"), statReply(R"("late")"));
}

}  // namespace
}  // namespace qftest
