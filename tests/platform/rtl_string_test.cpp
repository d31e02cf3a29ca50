// Counted strings: conversions through code page 1252 and bounded appends.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"
#include "machine/machine.h"

namespace {

constexpr ULONG kStringTag = 0x69727453;  // "Stri", the tag of converted strings

class RtlString : public ::testing::Test {
 protected:
  nrv::Machine machine;
};

TEST_F(RtlString, AllocatingConversionsUseCodePage1252AndGiveThePoolBack) {
  size_t blocks = machine.pool().liveCount();
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "Caf\xE9 \x80\x81\x9F \x93q\x94\x99");
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(nrv::fromUnicodeString(wide), u"Caf\u00E9 \u20AC\u0081\u0178 \u201Cq\u201D\u2122");
  EXPECT_EQ(wide.MaximumLength, wide.Length + sizeof(WCHAR));
  EXPECT_EQ(wide.Buffer[wide.Length / sizeof(WCHAR)], 0);
  EXPECT_EQ(machine.pool().liveCount(), blocks + 1);

  std::u16string text = u"\u20AC\u0178 \u00E9 \u4E2D \u0100";
  UNICODE_STRING source;
  nrv::setUnicodeString(source, text);
  ANSI_STRING narrow;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, TRUE), STATUS_SUCCESS);
  // Characters the code page lacks become '?'.
  EXPECT_EQ(std::string(narrow.Buffer, narrow.Length), "\x80\x9F \xE9 ? ?");
  EXPECT_EQ(narrow.Buffer[narrow.Length], 0);

  RtlFreeUnicodeString(&wide);
  RtlFreeAnsiString(&narrow);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(narrow.Buffer, nullptr);
  EXPECT_EQ(machine.pool().liveCount(), blocks);
}

TEST_F(RtlString, EveryByteButNulSurvivesARoundTrip) {
  std::string bytes;
  for (int byte = 1; byte < 256; byte++) bytes += static_cast<char>(byte);
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, bytes.c_str());
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  ANSI_STRING back;
  ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &wide, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(std::string(back.Buffer, back.Length), bytes);
  RtlFreeUnicodeString(&wide);
  RtlFreeAnsiString(&back);
}

TEST_F(RtlString, AllocatingConversionsReportLowMemory) {
  machine.faults().failTag(kStringTag);
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "text");
  UNICODE_STRING wide{};
  EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(wide.Buffer, nullptr);
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"text");
  ANSI_STRING narrow{};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, TRUE), STATUS_NO_MEMORY);
  EXPECT_EQ(narrow.Buffer, nullptr);
  EXPECT_EQ(machine.pool().liveCount(), 0u);
}

TEST_F(RtlString, AppendsFillTheBufferExactlyAndRefuseToOverflow) {
  WCHAR storage[9];
  for (WCHAR& c : storage) c = L'#';
  UNICODE_STRING destination{0, 8 * sizeof(WCHAR), storage};
  ASSERT_EQ(RtlAppendUnicodeToString(&destination, L"abc"), STATUS_SUCCESS);
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, L"defgh");
  // Exactly full: no room for, and no write of, a terminator.
  ASSERT_EQ(RtlAppendUnicodeStringToString(&destination, &tail), STATUS_SUCCESS);
  EXPECT_EQ(nrv::fromUnicodeString(destination), u"abcdefgh");
  EXPECT_EQ(storage[8], L'#');

  destination.Length = 6 * sizeof(WCHAR);
  EXPECT_EQ(RtlAppendUnicodeToString(&destination, L"xyz"), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(RtlAppendUnicodeStringToString(&destination, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(destination.Length, 6 * sizeof(WCHAR));
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(storage), 9), u"abcdefgh#");
}

}  // namespace
