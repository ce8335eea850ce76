#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "SerialTestSupport.h"

using namespace testing_support;

namespace {

class SerialComponent : public testing::Test {
protected:
    void Start(std::set<int> ports) {
        platform.Fake.SetPorts(std::move(ports));
        manager = std::make_unique<TCOMManagerInstance>();
        COMManager->ScanPorts(99);
    }
    comm::TFakePlatformScope platform;
    std::unique_ptr<TCOMManagerInstance> manager;
};

TEST_F(SerialComponent, FirstListedPortAfterConstruction) {
    Start({3, 4});
    EXPECT_EQ(TSerial(nullptr).COMPort(), 3);
    manager.reset();
    Start({});
    EXPECT_EQ(TSerial(nullptr).COMPort(), 0);
}

TEST_F(SerialComponent, COMPortAcceptsOnlyZeroOrListedPorts) {
    Start({1, 3, 4});
    TSerial ser(nullptr);
    const struct {
        std::int32_t write, expect;
    } cases[] = {{4, 4}, {5, 4}, {-1, 4}, {0, 0}, {3, 3}, {100, 3}, {1, 1}};
    for (const auto& c : cases) {
        ser.SetCOMPort(c.write);
        EXPECT_EQ(ser.COMPort(), c.expect) << c.write;
    }
}

TEST_F(SerialComponent, SetPortIndexPicksAListEntry) {
    Start({1, 3, 12});
    TSerial ser(nullptr);
    ser.SetPortIndex(1);
    EXPECT_EQ(ser.COMPort(), 3);
    ser.SetPortIndex(2);
    EXPECT_EQ(ser.COMPort(), 12);
    for (int index : {-1, 3, 1000}) {
        ser.SetPortIndex(index);
        EXPECT_EQ(ser.COMPort(), 12) << index;
    }
}

TEST_F(SerialComponent, COMRemovedClearsActiveAndCallsTheHandlerOnce) {
    Start({1});
    TTestSerial ser;
    TCounter handler;
    ser.SetOnCOMRemoved(handler.Event());
    ser.MarkOpen(true);
    ser.COMRemoved();
    EXPECT_FALSE(ser.Active());
    EXPECT_EQ(handler.Senders, std::vector<rt::TObject*>{&ser});
}

TEST_F(SerialComponent, ConstructorDefaults) {
    Start({1});
    TSerial ser(nullptr);
    EXPECT_EQ(ser.ThreadPriority(), rt::TThreadPriority::tpNormal);
    EXPECT_EQ(TTestSerial().ThreadPriority(), rt::TThreadPriority::tpIdle);
    EXPECT_FALSE(ser.Active());
    EXPECT_EQ(ser.Baudrate(), 9600);
    EXPECT_EQ(ser.DataBits(), TDataBits::db_8);
    EXPECT_EQ(ser.ParityBit(), TParityBit::none);
    EXPECT_EQ(ser.StopBits(), TStopBits::sb_1);
    EXPECT_EQ(ser.BufSizeTrm(), 16384);
    EXPECT_EQ(ser.BufSizeRec(), 16384);
    EXPECT_FALSE(ser.HandshakeRtsCts() || ser.HandshakeDtrDsr() || ser.HandshakeXOnXOff());
    EXPECT_FALSE(ser.RTSActive() || ser.DTRActive());
    EXPECT_EQ(ser.XOnChar(), 0x11);
    EXPECT_EQ(ser.XOffChar(), 0x13);
    EXPECT_EQ(ser.XOffLimit(), 8192);
    EXPECT_EQ(ser.XOnLimit(), 512);
    EXPECT_EQ(ser.ErrorChar(), '?');
    EXPECT_EQ(ser.EofChar(), 0x1A);
    EXPECT_EQ(ser.EventChar(), 0x0D);
    EXPECT_EQ(ser.DataSize(), 0);
    EXPECT_FALSE(ser.ParityCheck() || ser.ContinueOnXOff() || ser.UseErrorChar() ||
                 ser.EliminateNullChar() || ser.AbortOnError());
    EXPECT_EQ(ser.RecTimeOut(), 0);
    EXPECT_EQ(ser.TrmTimeOut(), 0);
    EXPECT_FALSE(ser.SyncEventHandling());
    EXPECT_TRUE(ser.EnableEvents());
    EXPECT_TRUE(ser.SyncWait());
    for (int e = 0; e < TSerial::kEventCount; ++e)
        EXPECT_FALSE(ser.Handler(static_cast<TSerial::TEvent>(e)).Assigned()) << e;
    EXPECT_EQ(ser.Variant(), TTransferVariant::Closed);
}

TEST_F(SerialComponent, IsWinNTFromTheVersionQuery) {
    Start({});
    const struct {
        bool succeeds;
        std::uint32_t platformId;
        bool expect;
    } cases[] = {{true, 2, true}, {true, 1, false}, {false, 2, false}};
    for (const auto& c : cases) {
        platform.Fake.VersionSucceeds = c.succeeds;
        platform.Fake.PlatformId = c.platformId;
        EXPECT_EQ(TSerial(nullptr).IsWinNT(), c.expect);
    }
}

TEST(SerialProperties, BaudrateIsLimitedAndRounded) {
    const struct {
        std::int32_t write, expect;
    } cases[] = {
        {0, 50},          {45, 50},         {-5, 50},         {50, 50},          {1000000, 921600},
        {921600, 921600}, {250000, 256000}, {56000, 56195},   {100000, 100173},  {9600, 9600},
        {19200, 19200},   {38400, 38400},   {57600, 57600},   {115200, 115200},  {230400, 230400},
        {300, 300},       {110, 110},       {460800, 460800}, {INT32_MIN, 50},   {INT32_MAX, 921600},
    };
    TSerial ser(nullptr);
    for (const auto& c : cases) {
        ser.SetBaudrate(c.write);
        EXPECT_EQ(ser.Baudrate(), c.expect) << c.write;
    }
}

TEST(SerialProperties, BufferAndLimitRules) {
    struct TState {
        std::int32_t bufSizeRec, xOffLimit, xOnLimit;
    };
    const struct {
        const char* what;
        std::function<void(TSerial&)> write;
        TState expect;
    } cases[] = {
        {"BufSizeRec 1000", [](TSerial& s) { s.SetBufSizeRec(1000); }, {4096, 4096, 512}},
        {"BufSizeRec below XOnLimit",
         [](TSerial& s) { s.SetXOnLimit(5000); s.SetBufSizeRec(1000); }, {4096, 4096, 4095}},
        {"BufSizeRec larger", [](TSerial& s) { s.SetBufSizeRec(65536); }, {65536, 8192, 512}},
        {"XOffLimit not above XOnLimit", [](TSerial& s) { s.SetXOffLimit(100); }, {16384, 513, 512}},
        {"XOffLimit above BufSizeRec", [](TSerial& s) { s.SetXOffLimit(20000); }, {16384, 16384, 512}},
        {"XOnLimit not below XOffLimit", [](TSerial& s) { s.SetXOnLimit(9000); }, {16384, 8192, 8191}},
        {"XOnLimit negative", [](TSerial& s) { s.SetXOnLimit(-7); }, {16384, 8192, 0}},
    };
    for (const auto& c : cases) {
        TSerial ser(nullptr);
        c.write(ser);
        EXPECT_EQ(ser.BufSizeRec(), c.expect.bufSizeRec) << c.what;
        EXPECT_EQ(ser.XOffLimit(), c.expect.xOffLimit) << c.what;
        EXPECT_EQ(ser.XOnLimit(), c.expect.xOnLimit) << c.what;
    }
    TSerial ser(nullptr);
    ser.SetBufSizeTrm(100);
    EXPECT_EQ(ser.BufSizeTrm(), 4096);
    ser.SetBufSizeTrm(1 << 20);
    EXPECT_EQ(ser.BufSizeTrm(), 1 << 20);
}

TEST(SerialProperties, DataSizeAndTimeoutsAreLimitedWhenWritten) {
    TSerial ser(nullptr);
    ser.SetDataSize(20000);
    EXPECT_EQ(ser.DataSize(), 16384);
    ser.SetDataSize(-1);
    EXPECT_EQ(ser.DataSize(), 0);
    ser.SetDataSize(16000);
    ser.SetBufSizeRec(4096);  // a later, smaller buffer leaves it as it is
    EXPECT_EQ(ser.DataSize(), 16000);
    ser.SetRecTimeOut(-10);
    ser.SetTrmTimeOut(-1);
    EXPECT_EQ(ser.RecTimeOut(), 0);
    EXPECT_EQ(ser.TrmTimeOut(), 0);
    ser.SetRecTimeOut(250);
    EXPECT_EQ(ser.RecTimeOut(), 250);
}

TEST(SerialProperties, ParityCheckFollowsParityBit) {
    TSerial ser(nullptr);
    for (TParityBit p : {TParityBit::odd, TParityBit::even, TParityBit::mark, TParityBit::space}) {
        ser.SetParityBit(p);
        EXPECT_TRUE(ser.ParityCheck());
        ser.SetParityBit(TParityBit::none);
        EXPECT_FALSE(ser.ParityCheck());
    }
}

// A subclass's variant is what the slot calls.
class TLoggingSerial : public TSerial {
public:
    TLoggingSerial() : TSerial(nullptr) {}
    std::int32_t SendDataClosed(const void*, std::int32_t count) override { return -count; }
    std::string ReceiveStringClosed() override { return "override"; }
};

TEST(SerialProperties, ClosedSlotsAnswerZeroAndHonourOverrides) {
    TSerial ser(nullptr);
    char buf[16] = {};
    EXPECT_EQ(ser.SendData(buf, 16), 0);
    EXPECT_EQ(ser.ReceiveData(buf, 16), 0);
    EXPECT_EQ(ser.SendString("abc"), 0);
    EXPECT_EQ(ser.ReceiveString(), "");
    EXPECT_TRUE(ser.SendData.Bound() == &TSerial::SendDataClosed);
    TLoggingSerial sub;
    EXPECT_EQ(sub.SendData(buf, 5), -5);
    EXPECT_EQ(sub.ReceiveString(), "override");
    EXPECT_EQ(sub.SendString("x"), 0);
}

TEST(SerialProperties, HandlersAreStoredAndComparable) {
    TSerial ser(nullptr);
    TCounter a;
    ser.SetOnRxChar(a.Event());
    EXPECT_TRUE(ser.OnRxChar() == a.Event());
    EXPECT_FALSE(ser.OnData().Assigned());
    ser.OnRxChar()(&ser);
    EXPECT_EQ(a.Senders, std::vector<rt::TObject*>{&ser});
    ser.SetOnRxChar({});
    EXPECT_FALSE(ser.OnRxChar().Assigned());
}

}  // namespace
