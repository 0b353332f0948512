// Golden bytes for the records that cross the control interface: the layouts are shared
// with user mode and must not drift.
#include "include/vsbp_control.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(ControlRecords, ManagementRecordDecodesLoginFields) {
  // A LOGIN as the driver hands it over: response length 16, password length 0,
  // exclusive, reconnect exponent 2, delivered at S400, node 0xFFC1.
  const uint8_t bytes[40] = {
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // password
      0x34, 0x12, 0x00, 0x02,                          // response hi 0x1234, lengths 16 << 5
      0x00, 0x10, 0x00, 0x00,                          // response lo 0x1000
      0x00, 0x00, 0x20, 0x12,                          // LUN 0, options: login, exp 2, S400, exclusive
      0x07, 0x00, 0x00, 0x00,                          // generation 7
      0x01, 0x00, 0xC1, 0xFF,                          // status FIFO hi 1, initiator 0xFFC1
      0x00, 0x20, 0x00, 0x00,                          // status FIFO lo 0x2000
      0x00, 0x00, 0xC0, 0xFF,                          // ORB hi 0, local node 0xFFC0
      0x40, 0x00, 0x00, 0x00,                          // ORB lo 0x40
  };
  vsbp::ManagementRecord r;
  std::memcpy(&r, bytes, sizeof(r));
  EXPECT_EQ(r.response_offset_hi, 0x1234);
  EXPECT_EQ(r.response_offset_lo, 0x1000u);
  EXPECT_EQ(r.login_response_length(), 16);
  EXPECT_EQ(r.password_length(), 0);
  EXPECT_EQ(r.function(), vsbp::kLogin);
  EXPECT_EQ(r.reconnect_exponent(), 2);
  EXPECT_EQ(r.speed(), 2);
  EXPECT_TRUE(r.exclusive());
  EXPECT_EQ(r.generation, 7u);
  EXPECT_EQ(r.status_fifo_hi, 1);
  EXPECT_EQ(r.initiator_node_id, 0xFFC1);
  EXPECT_EQ(r.status_fifo_lo, 0x2000u);
  EXPECT_EQ(r.local_node_id, 0xFFC0);
  EXPECT_EQ(r.orb_offset_lo, 0x40u);
}

TEST(ControlRecords, OptionsWordMatchesOrbLayout) {
  // q4 bits 31-16 of a command ORB: notify, rq_fmt 0, d = 1, spd S400, max_payload 8,
  // p = 1, page_size 4 (4 KiB pages).
  const uint16_t o = 0x8000 | 1 << 11 | 2 << 8 | 8 << 4 | 1 << 3 | 4;
  EXPECT_TRUE(vsbp::options::notify(o));
  EXPECT_EQ(vsbp::options::rq_fmt(o), 0);
  EXPECT_TRUE(vsbp::options::direction_or_status(o));
  EXPECT_EQ(vsbp::options::speed(o), 2);
  EXPECT_EQ(vsbp::options::max_payload(o), 8);
  EXPECT_TRUE(vsbp::options::page_table_present(o));
  EXPECT_EQ(vsbp::options::page_size(o), 4);
  EXPECT_EQ(vsbp::options::Make(4, true, 8, 2, true, 0), o & 0x7FFF);
}

TEST(ControlRecords, StatusBlockHeadRoundTrips) {
  uint32_t q0 = vsbp::status_block::Make(1, vsbp::kRespRequestComplete, false, 0, 0xABCD);
  EXPECT_EQ(q0, 0x4100ABCDu);
  q0 = vsbp::status_block::WithResp(q0, vsbp::kRespTransportFailure);
  q0 = vsbp::status_block::WithSbpStatus(q0, vsbp::kSbpDataBufferDataError);
  q0 = vsbp::status_block::WithDead(q0, true);
  EXPECT_EQ(q0, 0x594DABCDu);
  EXPECT_EQ(vsbp::status_block::src(q0), 1);
  EXPECT_EQ(vsbp::status_block::resp(q0), vsbp::kRespTransportFailure);
  EXPECT_TRUE(vsbp::status_block::dead(q0));
  EXPECT_EQ(vsbp::status_block::len(q0), 1);
  EXPECT_EQ(vsbp::status_block::orb_offset_hi(q0), 0xABCD);
}

}  // namespace
