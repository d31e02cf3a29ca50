// The driver-wide list of port names in use and the names made from a prefix.
#include <string>

#include "machine/machine.h"
#include "nrvusb.h"

#include <gtest/gtest.h>

namespace {

class PortNameListTest : public ::testing::Test {
 protected:
  void SetUp() override { PortNameList = nullptr; }
  void TearDown() override {
    while (PortNameList != nullptr) PLMUSB_RemoveFromDeviceList(PortNameList->Device);
  }

  // Any distinct pointer serves as the device the name belongs to.
  PDEVICE_OBJECT device(int number) { return reinterpret_cast<PDEVICE_OBJECT>(&devices_[number]); }

  std::string makeName(const char* prefix) {
    CHAR name[PORT_NAME_BUFFER_SIZE] = {};
    made_ = PLMUSB_MakeUniqueName(prefix, name);
    return name;
  }

  nrv::Machine machine;
  bool made_ = false;

 private:
  DEVICE_OBJECT devices_[130] = {};
};

TEST_F(PortNameListTest, NumbersStartAtOneAndTheLowestFreeOneIsReused) {
  EXPECT_EQ(makeName("NRVUSB"), "NRVUSB001:");
  ASSERT_TRUE(PLMUSB_AddToDeviceList(device(1), "NRVUSB001:"));
  ASSERT_TRUE(PLMUSB_AddToDeviceList(device(2), makeName("NRVUSB").c_str()));
  EXPECT_STREQ(PortNameList->Next->PortName, "NRVUSB002:");

  ASSERT_TRUE(PLMUSB_RemoveFromDeviceList(device(1)));
  EXPECT_EQ(makeName("NRVUSB"), "NRVUSB001:");
  EXPECT_EQ(PortNameList->Device, device(2));
}

TEST_F(PortNameListTest, NamesCompareCaseSensitively) {
  ASSERT_TRUE(PLMUSB_AddToDeviceList(device(1), "LPTUSB001:"));
  EXPECT_FALSE(PLMUSB_CheckUniqueName("LPTUSB001:"));
  EXPECT_TRUE(PLMUSB_CheckUniqueName("lptusb001:"));
  EXPECT_TRUE(PLMUSB_CheckUniqueName("LPTUSB001"));
}

TEST_F(PortNameListTest, WithEveryNumberTakenTheLastNameTriedIsGiven) {
  for (int number = 1; number <= 127; number++) {
    ASSERT_TRUE(PLMUSB_AddToDeviceList(device(number), makeName("P").c_str()));
    ASSERT_TRUE(made_);
  }
  EXPECT_EQ(makeName("P"), "P127:");
  EXPECT_FALSE(made_);
}

TEST_F(PortNameListTest, EntriesKeepTheOrderOfAdditionAndRemovalUnlinksAnyOne) {
  for (int number = 1; number <= 3; number++) {
    ASSERT_TRUE(PLMUSB_AddToDeviceList(device(number), makeName("A").c_str()));
  }
  ASSERT_TRUE(PLMUSB_RemoveFromDeviceList(device(2)));
  EXPECT_FALSE(PLMUSB_RemoveFromDeviceList(device(2)));
  ASSERT_NE(PortNameList, nullptr);
  EXPECT_EQ(PortNameList->Device, device(1));
  ASSERT_NE(PortNameList->Next, nullptr);
  EXPECT_EQ(PortNameList->Next->Device, device(3));
  EXPECT_EQ(PortNameList->Next->Next, nullptr);
  ASSERT_TRUE(PLMUSB_RemoveFromDeviceList(device(1)));
  EXPECT_EQ(PortNameList->Device, device(3));
}

TEST_F(PortNameListTest, ANameWithoutMemoryForItsEntryIsNotEntered) {
  machine.faults().failTag(NRVUSB_POOL_TAG);
  EXPECT_FALSE(PLMUSB_AddToDeviceList(device(1), "NRVUSB001:"));
  EXPECT_EQ(PortNameList, nullptr);
  EXPECT_FALSE(PLMUSB_RemoveFromDeviceList(device(1)));
}

}  // namespace
