#include "sim/tools/log_predicate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "sim/tools/log_entry.h"

namespace sim::tools {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kSystemPredicate =
    R"(eventMessage contains[cd] "halvex" or processImagePath contains[cd] "halvex")";
constexpr const char* kHelperPredicate = R"(process == "com.halvex-software.Dorvane.helper")";

LogEntry Entry(std::string process, std::string image_path, std::string message) {
  LogEntry entry;
  entry.process = std::move(process);
  entry.image_path = std::move(image_path);
  entry.message = std::move(message);
  return entry;
}

LogPredicate Parsed(std::string_view text) {
  PredicateError error;
  std::optional<LogPredicate> predicate = LogPredicate::Parse(text, &error);
  EXPECT_TRUE(predicate) << text << ": " << error.message;
  if (!predicate) return *LogPredicate::Parse("FALSEPREDICATE", nullptr);
  return std::move(*predicate);
}

bool Matches(std::string_view text, const LogEntry& entry) { return Parsed(text).Matches(entry); }

std::string ErrorOf(std::string_view text) {
  PredicateError error;
  EXPECT_FALSE(LogPredicate::Parse(text, &error)) << text;
  return error.message;
}

TEST(LogPredicate, EvaluatesThePredicatesOfTheLogCollection) {
  const LogEntry helper =
      Entry("com.halvex-software.Dorvane.helper",
            "/Library/PrivilegedHelperTools/com.halvex-software.Dorvane.helper", "collect logs");
  const LogEntry app_mentioning = Entry(
      "Dorvane", "/Applications/Dorvane.app/Contents/MacOS/Dorvane", "asked the HALVEX helper");
  const LogEntry app_silent =
      Entry("Dorvane", "/Applications/Dorvane.app/Contents/MacOS/Dorvane", "window opened");
  const LogEntry accented = Entry("otherd", "/usr/libexec/otherd", "Hälvex was here");
  const LogEntry old_helper = Entry("com.halvex-software.Dorvane.helper.old",
                                    "/usr/libexec/com.halvex-software.Dorvane.helper.old", "stale");

  const LogPredicate system = Parsed(kSystemPredicate);
  EXPECT_TRUE(system.Matches(helper));
  EXPECT_TRUE(system.Matches(app_mentioning));
  EXPECT_FALSE(system.Matches(app_silent));
  EXPECT_TRUE(system.Matches(accented));
  EXPECT_TRUE(system.Matches(old_helper));

  const LogPredicate helper_only = Parsed(kHelperPredicate);
  EXPECT_TRUE(helper_only.Matches(helper));
  EXPECT_FALSE(helper_only.Matches(app_mentioning));
  EXPECT_FALSE(helper_only.Matches(accented));
  EXPECT_FALSE(helper_only.Matches(old_helper));
  EXPECT_FALSE(helper_only.Matches(Entry("COM.HALVEX-SOFTWARE.DORVANE.HELPER", "", "")));
}

TEST(LogPredicate, ComparesWithEachOperatorAndOption) {
  const LogEntry entry = Entry("Dörvane", "/Applications/Dörvane.app", "Ünïcode ΣΙΣΥΦΟΣ and Д");
  // Without options: exact bytes.
  EXPECT_TRUE(Matches(R"(process == "Dörvane")", entry));
  EXPECT_FALSE(Matches(R"(process == "dörvane")", entry));
  EXPECT_TRUE(Matches(R"(process = "Dörvane")", entry));
  EXPECT_TRUE(Matches(R"(process != "Dorvane")", entry));
  EXPECT_TRUE(Matches(R"(process <> "Dorvane")", entry));
  EXPECT_TRUE(Matches(R"(processImagePath BeginsWith "/Applications/")", entry));
  EXPECT_FALSE(Matches(R"(processImagePath beginswith "/applications/")", entry));
  EXPECT_TRUE(Matches(R"(processImagePath endswith ".app")", entry));
  EXPECT_FALSE(Matches(R"(processImagePath endswith "/Applications/Dörvane.app/")", entry));
  EXPECT_TRUE(Matches(R"(eventMessage CONTAINS "and")", entry));
  // [c] folds case, also outside ASCII, but keeps accents.
  EXPECT_TRUE(Matches(R"(process ==[c] "DÖRVANE")", entry));
  EXPECT_FALSE(Matches(R"(process ==[c] "DORVANE")", entry));
  EXPECT_TRUE(Matches(R"(eventMessage contains[c] "σισυφοσ AND д")", entry));
  EXPECT_FALSE(Matches(R"(eventMessage contains "σισυφοσ")", entry));
  // [d] drops accents, but keeps case.
  EXPECT_TRUE(Matches(R"(process ==[d] "Dorvane")", entry));
  EXPECT_FALSE(Matches(R"(process ==[d] "dorvane")", entry));
  EXPECT_TRUE(Matches(R"(eventMessage beginswith[d] "Unicode")", entry));
  // [cd] does both; combining marks count as accents.
  EXPECT_TRUE(Matches(R"(process ==[cd] "DORVANE")", entry));
  EXPECT_TRUE(Matches("process ==[cd] \"DO\xCC\x88RVANE\"", entry));
  EXPECT_TRUE(Matches(R"(process ==[dc] "dorvane")", entry));
  // The log records no subsystem or category.
  EXPECT_TRUE(Matches(R"(subsystem == "" and category == '')", entry));
  EXPECT_FALSE(Matches(R"(subsystem contains "a")", entry));
}

TEST(LogPredicate, CombinesWithPrecedenceAndParentheses) {
  const LogEntry entry = Entry("a", "b", "c");
  // "and" binds tighter than "or"; "not" tighter than both.
  EXPECT_TRUE(Matches(R"(process == "a" or process == "x" and process == "y")", entry));
  EXPECT_FALSE(Matches(R"((process == "a" or process == "x") and process == "y")", entry));
  EXPECT_FALSE(Matches(R"(not process == "a" or process == "x")", entry));
  EXPECT_TRUE(Matches(R"(NOT (process == "x" OR eventMessage == "x"))", entry));
  EXPECT_TRUE(Matches(R"(!(process == "x") && eventMessage == "c" || FALSEPREDICATE)", entry));
  EXPECT_TRUE(Matches("TRUEPREDICATE", entry));
  EXPECT_FALSE(Matches("not truepredicate", entry));
  EXPECT_TRUE(Matches("not not not falsepredicate", entry));
}

TEST(LogPredicate, ReadsStringsWithEscapes) {
  const LogEntry entry = Entry("p", "i", "say \"hi\"\n\tit's a\\b");
  EXPECT_TRUE(Matches(R"(eventMessage == "say \"hi\"\n\tit's a\\b")", entry));
  EXPECT_TRUE(Matches(R"(eventMessage == 'say "hi"\n\tit\'s a\\b')", entry));
  EXPECT_TRUE(Matches("eventMessage contains \"\"", entry));
}

TEST(LogPredicate, FormatsCanonicallyAndReadsItsOwnFormat) {
  EXPECT_EQ(Parsed(kSystemPredicate).Format(),
            R"(eventMessage CONTAINS[cd] "halvex" OR processImagePath CONTAINS[cd] "halvex")");
  EXPECT_EQ(Parsed(kHelperPredicate).Format(), kHelperPredicate);

  const LogEntry entries[] = {Entry("a", "b", "c"), Entry("x", "y", "z\n\"q\""),
                              Entry("A", "B", "")};
  for (const char* text : {
           R"(process == "a" or process == "x" and not eventMessage contains[c] "Q")",
           R"(((process == "a")) and (eventMessage == "c" or (processImagePath != "y")))",
           R"(not (process == "a" and eventMessage endswith[d] "c") || truepredicate)",
           R"(eventMessage == "z\n\"q\"" or not not process beginswith[cd] "a")",
       }) {
    const LogPredicate predicate = Parsed(text);
    const LogPredicate again = Parsed(predicate.Format());
    EXPECT_EQ(again.Format(), predicate.Format()) << text;
    for (const LogEntry& entry : entries) {
      EXPECT_EQ(again.Matches(entry), predicate.Matches(entry)) << text;
    }
  }
  EXPECT_EQ(Parsed(R"(not (process == "a" and process == "b") or process == "c" and TRUEPREDICATE)")
                .Format(),
            R"(NOT (process == "a" AND process == "b") OR (process == "c" AND TRUEPREDICATE))");
}

TEST(LogPredicate, RefusesMalformedPredicatesWithAReason) {
  EXPECT_THAT(ErrorOf(""), HasSubstr("empty predicate"));
  EXPECT_THAT(ErrorOf("   "), HasSubstr("empty predicate"));
  EXPECT_THAT(ErrorOf(R"(eventmessage == "a")"), StartsWith("unknown field \"eventmessage\""));
  EXPECT_THAT(ErrorOf(R"(pid == "a")"), HasSubstr("unknown field"));
  EXPECT_THAT(ErrorOf(R"(process == "a)"), StartsWith("unterminated string (at character 12)"));
  EXPECT_THAT(ErrorOf(R"x(process == "a\)")x"), HasSubstr("unknown escape \"\\)\""));
  EXPECT_THAT(ErrorOf(R"(process == "a\)"), HasSubstr("unterminated string"));
  EXPECT_THAT(ErrorOf(R"(process == "a\q")"), HasSubstr("unknown escape \"\\q\""));
  EXPECT_THAT(ErrorOf(R"(process == a)"), HasSubstr("expected a string in quotes"));
  EXPECT_THAT(ErrorOf(R"(process like "a")"), HasSubstr("expected a comparison"));
  EXPECT_THAT(ErrorOf(R"(process "a")"), HasSubstr("expected a comparison"));
  EXPECT_THAT(ErrorOf(R"(process contains[x] "a")"), HasSubstr("unknown comparison options"));
  EXPECT_THAT(ErrorOf(R"(process contains[cc] "a")"), HasSubstr("unknown comparison options"));
  EXPECT_THAT(ErrorOf(R"(process contains[] "a")"), HasSubstr("unknown comparison options"));
  EXPECT_THAT(ErrorOf(R"(process contains[c "a")"), HasSubstr("unclosed \"[\""));
  EXPECT_THAT(ErrorOf(R"(process contains[cd "a")"), HasSubstr("unclosed"));
  EXPECT_THAT(ErrorOf(R"((process == "a")"), HasSubstr("expected \")\" but found the end"));
  EXPECT_THAT(ErrorOf(R"(process == "a"))"), HasSubstr("unexpected \")\""));
  EXPECT_THAT(ErrorOf(R"(process == "a" process == "b")"), HasSubstr("unexpected \"process\""));
  EXPECT_THAT(ErrorOf(R"(process == "a" or)"), HasSubstr("expected a field but found the end"));
  EXPECT_THAT(ErrorOf(R"(and process == "a")"), HasSubstr("unknown field \"and\""));
  EXPECT_THAT(ErrorOf(R"(process == "a" ; rm)"), HasSubstr("unexpected character \";\""));
  EXPECT_THAT(ErrorOf("not"), HasSubstr("expected a field"));

  std::string deep;
  for (int level = 0; level <= LogPredicate::kMaxNesting; ++level) deep += "(";
  deep += R"(process == "a")";
  for (int level = 0; level <= LogPredicate::kMaxNesting; ++level) deep += ")";
  PredicateError error;
  EXPECT_FALSE(LogPredicate::Parse(deep, &error));
  EXPECT_THAT(error.message, HasSubstr("nested more than"));
  EXPECT_TRUE(error.too_large);
  std::string negations;
  for (int level = 0; level <= LogPredicate::kMaxNesting; ++level) negations += "not ";
  EXPECT_THAT(ErrorOf(negations + R"(process == "a")"), HasSubstr("nested more than"));
  EXPECT_FALSE(LogPredicate::Parse(std::string(LogPredicate::kMaxLength + 1, ' '), &error));
  EXPECT_TRUE(error.too_large);
  // Many terms side by side are no nesting at all.
  std::string wide = R"(process == "0")";
  for (int term = 1; term < 2000; ++term) wide += " or process == \"" + std::to_string(term) + "\"";
  EXPECT_TRUE(Parsed(wide).Matches(Entry("1999", "", "")));
}

std::vector<LogEntry> ReadAll(const std::string& text, size_t* skipped = nullptr) {
  std::istringstream in(text);
  LogReader reader(in);
  std::vector<LogEntry> entries;
  while (std::optional<LogEntry> entry = reader.Next()) entries.push_back(std::move(*entry));
  if (skipped != nullptr) *skipped = reader.skipped_lines();
  return entries;
}

TEST(LogReader, ReadsRecordsWithTheirContinuationLines) {
  const std::string log =
      "\tan orphan continuation\n"
      "2026-12-06 16:45:33.123456+0000 localhost dorvane[4242] (/usr/bin/dorvane) <Error>: "
      "first\n"
      "\tsecond\n"
      "\t\tindented third\n"
      "garbage between records\n"
      "2026-12-06 16:45:34.000001+0130 mac Dorvane Helper [x][77] (/Applications/A (1).app) "
      "<Info>: a) <Debug>: b\r\n"
      "2026-12-06 16:45:35.000000+0000 localhost kernel[0] () <Fault>:\n";
  size_t skipped = 0;
  const std::vector<LogEntry> entries = ReadAll(log, &skipped);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(skipped, 2u);

  EXPECT_EQ(entries[0].timestamp, "2026-12-06 16:45:33.123456+0000");
  EXPECT_EQ(entries[0].time, 1796575533123456);
  EXPECT_EQ(entries[0].host, "localhost");
  EXPECT_EQ(entries[0].process, "dorvane");
  EXPECT_EQ(entries[0].pid, 4242);
  EXPECT_EQ(entries[0].image_path, "/usr/bin/dorvane");
  EXPECT_EQ(entries[0].level, "Error");
  EXPECT_EQ(entries[0].message, "first\nsecond\n\tindented third");
  EXPECT_EQ(entries[0].text,
            "2026-12-06 16:45:33.123456+0000 localhost dorvane[4242] (/usr/bin/dorvane) <Error>: "
            "first\n\tsecond\n\t\tindented third\n");

  // Names with blanks and brackets, paths with parentheses: the first "[digits] (" and the
  // first ") <Level>:" end them. An offset ahead of UTC is taken off.
  EXPECT_EQ(entries[1].host, "mac");
  EXPECT_EQ(entries[1].process, "Dorvane Helper [x]");
  EXPECT_EQ(entries[1].pid, 77);
  EXPECT_EQ(entries[1].image_path, "/Applications/A (1).app");
  EXPECT_EQ(entries[1].level, "Info");
  EXPECT_EQ(entries[1].message, "a) <Debug>: b");
  EXPECT_EQ(entries[1].time, 1796575534000001 - 5400 * int64_t{1000000});

  EXPECT_EQ(entries[2].image_path, "");
  EXPECT_EQ(entries[2].level, "Fault");
  EXPECT_EQ(entries[2].message, "");
}

TEST(LogReader, SkipsLinesThatAreNoRecords) {
  for (const char* line : {
           "2026-02-30 16:45:33.123456+0000 localhost d[1] (/d) <Error>: bad day",
           "2026-13-06 16:45:33.123456+0000 localhost d[1] (/d) <Error>: bad month",
           "2026-12-06 24:45:33.123456+0000 localhost d[1] (/d) <Error>: bad hour",
           "2026-12-06 16:45:33.12345+0000 localhost d[1] (/d) <Error>: short fraction",
           "2026-12-06 16:45:33.123456Z localhost d[1] (/d) <Error>: no offset",
           "2026-12-06T16:45:33.123456+0000 localhost d[1] (/d) <Error>: a T",
           "2026-12-06 16:45:33.123456+0000 localhost d[] (/d) <Error>: no pid",
           "2026-12-06 16:45:33.123456+0000 localhost [1] (/d) <Error>: no name",
           "2026-12-06 16:45:33.123456+0000 localhost d[1] (/d) <Notice>: unknown level",
           "2026-12-06 16:45:33.123456+0000 localhost d[1] /d <Error>: no parentheses",
           "2026-12-06 16:45:33.123456+0000  d[1] (/d) <Error>: no host",
           "2026-12-06 16:45:33.123456+0000",
           "",
       }) {
    size_t skipped = 0;
    EXPECT_TRUE(ReadAll(std::string(line) + "\n", &skipped).empty()) << line;
    EXPECT_EQ(skipped, 1u) << line;
  }
  EXPECT_EQ(ReadAll("2024-02-29 00:00:00.000000-0000 h d[1] (/d) <Debug>: leap day\n").size(), 1u);
}

}  // namespace
}  // namespace sim::tools
