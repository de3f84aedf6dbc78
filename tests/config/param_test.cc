#include "config/param.h"

#include <limits.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace cvie;

namespace {

TEST(Param, IntegerKeepsDecimalText) {
  Param p(L"FilterImage Option", 1);
  EXPECT_EQ(p.GetName(), L"FilterImage Option");
  EXPECT_EQ(p.kind(), ParamKind::kInteger);
  EXPECT_EQ(p.GetString(), ParamText(L"1"));
  EXPECT_TRUE(p.SetInt(-5));
  EXPECT_EQ(p.GetString(), ParamText(L"-5"));
  EXPECT_EQ(p.GetInt(), -5);
  EXPECT_EQ(p.GetList(), std::nullopt);
  EXPECT_TRUE(p.Clear());
  EXPECT_EQ(p.GetString(), std::nullopt);
  EXPECT_EQ(p.GetInt(), 0);
}

TEST(Param, TextToIntegerConversion) {
  struct Case {
    ParamText text;
    int want;
  };
  const Case cases[] = {
      {L"42", 42},
      {L"  \t17", 17},
      {L"+7", 7},
      {L"-13abc", -13},
      {L"abc", 0},
      {L"", 0},
      {std::nullopt, 0},
      {L"2147483647", INT_MAX},
      {L"-2147483648", INT_MIN},
      {L"99999999999999999999", INT_MAX},
      {L"-99999999999999999999", INT_MIN},
  };
  for (const auto& c : cases) {
    Param p(L"p", c.text);
    EXPECT_EQ(p.GetInt(), c.want)
        << (c.text ? std::string(c.text->begin(), c.text->end()) : "null");
  }
}

TEST(Param, StringReplacesAndAcceptsNull) {
  Param p(L"s", ParamText(L"first"));
  EXPECT_EQ(p.kind(), ParamKind::kString);
  EXPECT_TRUE(p.SetString(L"second"));
  EXPECT_EQ(p.GetString(), ParamText(L"second"));
  EXPECT_TRUE(p.AddString(L"third"));  // not a list: replaces
  EXPECT_EQ(p.GetString(), ParamText(L"third"));
  EXPECT_TRUE(p.SetString(std::nullopt));
  EXPECT_EQ(p.GetString(), std::nullopt);
  EXPECT_TRUE(p.SetInt(12));
  EXPECT_EQ(p.GetString(), ParamText(L"12"));
}

std::vector<ParamText> Texts(std::initializer_list<const wchar_t*> items) {
  std::vector<ParamText> out;
  for (const wchar_t* item : items) out.emplace_back(item);
  return out;
}

TEST(Param, ListKeepsTheMostRecentFirst) {
  Param list(L"recent", 3, {L"x", L"y", L"z", L"w"}, 4);
  EXPECT_EQ(list.kind(), ParamKind::kList);
  EXPECT_EQ(list.GetList(), Texts({L"x", L"y", L"z"}));  // at most capacity copied
  EXPECT_TRUE(list.AddString(L"new"));
  EXPECT_EQ(list.GetList(), Texts({L"new", L"x", L"y"}));
  EXPECT_EQ(list.GetString(), ParamText(L"new"));
  EXPECT_TRUE(list.SetInt(5));  // pushed in front as text
  EXPECT_EQ(list.GetList(), Texts({L"5", L"new", L"x"}));
  EXPECT_EQ(list.GetInt(), 5);
  EXPECT_TRUE(list.SetString(L"s"));
  EXPECT_EQ(list.GetList(), Texts({L"s", L"5", L"new"}));
  EXPECT_TRUE(list.Clear());
  EXPECT_EQ(list.GetList(), std::vector<ParamText>());
  EXPECT_EQ(list.GetString(), std::nullopt);
}

TEST(Param, ListCopiesOnlyTheCountGiven) {
  struct Case {
    int capacity;
    int count;
    size_t want;
  };
  const Case cases[] = {{5, 2, 2}, {2, 5, 2}, {3, 3, 3}, {0, 3, 0}, {4, -1, 0}};
  for (const auto& c : cases) {
    Param list(L"l", c.capacity, {L"a", L"b", L"c"}, c.count);
    EXPECT_EQ(list.GetList()->size(), c.want) << c.capacity << "/" << c.count;
  }
}

}  // namespace
