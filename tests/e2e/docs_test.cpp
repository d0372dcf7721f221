// The manual pages and the bash completion against the programs they
// describe: every option is there, and the pages render without a warning.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "e2e_support.h"

namespace {

std::string sourceFile(const std::string &name) {
  return readFile(std::string(QELVO_SOURCE_DIR) + "/" + name);
}

// The pages as the build made them from doc/*.in, which is what is installed.
std::string builtPagePath(const std::string &name) {
  return std::string(QELVO_BUILD_DIR) + "/doc/" + name;
}

// A page writes every "-" of an option as "\-".
std::string inRoff(const std::string &option) {
  return std::regex_replace(option, std::regex("-"), "\\-");
}

// `word` stands in `text` with no letter, digit or "-" joined to either end.
bool hasWord(const std::string &text, const std::string &word) {
  auto joins = [](char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    size_t after = at + word.size();
    if ((at == 0 || !joins(text[at - 1])) && (after == text.size() || !joins(text[after]))) {
      return true;
    }
  }
  return false;
}

} // namespace

TEST(Docs, PagesAndCompletionNameEveryOption) {
  ProcessResult help = runProgram({QELVO_SIM_BIN, "--help"});
  ASSERT_EQ(help.exitStatus, 0);
  std::set<std::string> simOptions;
  std::regex longOption("--[a-z0-9-]+");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), longOption), end; it != end;
       ++it) {
    simOptions.insert(it->str());
  }
  ASSERT_GE(simOptions.size(), 15u) << help.out;
  const std::string simPage = readFile(builtPagePath("qelvo-scope-sim.1"));
  const std::string simCompletion = sourceFile("completion/qelvo-scope-sim");
  for (const std::string &option : simOptions) {
    EXPECT_TRUE(contains(simPage, inRoff(option))) << option << " in qelvo-scope-sim.1";
    EXPECT_TRUE(hasWord(simCompletion, option)) << option << " in completion/qelvo-scope-sim";
  }

  const std::string page = readFile(builtPagePath("qelvo.1"));
  const std::string completion = sourceFile("completion/qelvo");
  for (const std::string option : {"-c", "-t", "-y", "-Y", "-p", "-b", "-s"}) {
    EXPECT_TRUE(contains(page, ".BI \\" + option + " ")) << option << " in qelvo.1";
    EXPECT_TRUE(hasWord(completion, option)) << option << " in completion/qelvo";
  }
  // The long options as --help lists them from the table that declares them.
  ProcessResult qelvoHelp = runProgram({QELVO_BIN, "--help"});
  ASSERT_EQ(qelvoHelp.exitStatus, 0);
  size_t block = qelvoHelp.out.find("Long options:\n");
  ASSERT_NE(block, std::string::npos) << qelvoHelp.out;
  const std::string listed = qelvoHelp.out.substr(block);
  std::regex entry("\t(--[a-z0-9-]+)(=<[a-z]+>)?:");
  std::set<std::string> longOptions;
  for (std::sregex_iterator it(listed.begin(), listed.end(), entry), end; it != end; ++it) {
    const std::string option = (*it)[1];
    longOptions.insert(option);
    if ((*it)[2].matched) {
      EXPECT_TRUE(contains(page, ".BI " + inRoff(option) + "= ")) << option << " in qelvo.1";
      EXPECT_TRUE(contains(completion, option + "=")) << option << " in completion/qelvo";
    } else {
      EXPECT_TRUE(contains(page, ".B " + inRoff(option) + "\n")) << option << " in qelvo.1";
      EXPECT_TRUE(hasWord(completion, option)) << option << " in completion/qelvo";
    }
  }
  for (const char *option : {"--help", "--version", "--flow", "--ports"}) {
    EXPECT_EQ(longOptions.count(option), 1u) << option << " in --help:\n" << listed;
  }
  for (const char *value : {"rtscts", "none"}) {
    EXPECT_TRUE(hasWord(completion, value)) << value << " in completion/qelvo";
    EXPECT_TRUE(contains(page, std::string(".B ") + value + "\n")) << value << " in qelvo.1";
  }
  // Every data file format, as the --format help line names them.
  std::smatch formats;
  ASSERT_TRUE(
      std::regex_search(qelvoHelp.out, formats,
                        std::regex("data file format: (\\w+) \\(default\\), (\\w+) or (\\w+)\n")))
      << qelvoHelp.out;
  for (size_t k = 1; k < formats.size(); ++k) {
    const std::string value = formats[k];
    EXPECT_TRUE(hasWord(completion, value)) << value << " in completion/qelvo";
    EXPECT_TRUE(contains(page, "\\-\\-format=" + value + " ")) << value << " in qelvo.1";
  }
  for (const char *key : {"XSamplesPerDivision", "XOffset", "Y1SamplesPerDivision", "Y1Offset",
                          "Y2SamplesPerDivision", "Y2Offset", "Device", "Baudrate"}) {
    EXPECT_TRUE(contains(page, std::string(".B ") + key + "\n")) << key << " in qelvo.1";
  }
}

TEST(Docs, ServePageAndCompletionNameEveryOptionOfItsHelp) {
  ProcessResult help = runProgram({QELVO_SERVE_BIN, "--help"});
  ASSERT_EQ(help.exitStatus, 0);
  const std::string page = readFile(builtPagePath("qelvo-serve.1"));
  const std::string completion = sourceFile("completion/qelvo-serve");
  // "  --dir=DIR", "  -s DEV" or "  --help": the option and how its value follows.
  std::regex entry("\n  (--?[a-z-]+)(=| [A-Z]|)");
  size_t options = 0;
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), entry), end; it != end; ++it) {
    ++options;
    const std::string option = (*it)[1];
    const std::string joint = (*it)[2];
    const std::string after = joint == "=" ? "=" : joint.empty() ? "\n" : " ";
    bool described = false;
    for (const char *macro : {".B ", ".BI ", ".BR "}) {
      described = described || contains(page, macro + inRoff(option) + after);
    }
    EXPECT_TRUE(described) << option << " in qelvo-serve.1";
    EXPECT_TRUE(joint == "=" ? contains(completion, option + "=") : hasWord(completion, option))
        << option << " in completion/qelvo-serve";
  }
  EXPECT_EQ(options, 8u) << help.out;
  for (const char *value : {"rtscts", "none"}) {
    EXPECT_TRUE(hasWord(completion, value)) << value << " in completion/qelvo-serve";
    EXPECT_TRUE(contains(page, value)) << value << " in qelvo-serve.1";
  }
}

TEST(Docs, ManualPagesRenderWithoutWarnings) {
  if (runProgram({"/bin/sh", "-c", "command -v man"}).exitStatus != 0) {
    GTEST_SKIP() << "man is not installed";
  }
  for (const char *page : {"qelvo.1", "qelvo-scope-sim.1", "qelvo-plot.1", "qelvo-serve.1"}) {
    std::string path = builtPagePath(page);
    ProcessResult r =
        runProgram({"/bin/sh", "-c", "MANWIDTH=80 man --warnings -l \"$0\" >/dev/null", path});
    EXPECT_EQ(r.exitStatus, 0) << page;
    EXPECT_EQ(r.err, "") << page;
  }
}

// The README's first-hour section as a newcomer runs it after `make`: its sh
// blocks in order in one shell, each python block through python3, from a
// folder whose build/ holds the built programs.
TEST(Docs, FirstHourCommandsRunAsWritten) {
  if (runProgram({"/bin/sh", "-c", "command -v gnuplot"}).exitStatus != 0) {
    GTEST_SKIP() << "gnuplot is not installed (scripts/ensure-deps installs it)";
  }
  const std::string readme = sourceFile("README.md");
  size_t start = readme.find("\n## First hour\n");
  ASSERT_NE(start, std::string::npos);
  ASSERT_LT(start, readme.find("\n## Usage\n")) << "the section leads the README";
  const std::string section = readme.substr(start, readme.find("\n## ", start + 1) - start);
  std::string script = "trap 'status=$?; kill $! 2>/dev/null || :; exit $status' EXIT\nset -e\n";
  std::regex block("\n```(sh|python)\n([^`]*)```\n");
  int blocks[2] = {0, 0};
  for (std::sregex_iterator it(section.begin(), section.end(), block), end; it != end; ++it) {
    bool python = (*it)[1] == "python";
    ++blocks[python];
    script +=
        python ? "python3 - <<'EOF_PYTHON'\n" + (*it)[2].str() + "EOF_PYTHON\n" : (*it)[2].str();
  }
  EXPECT_GE(blocks[0], 4) << section;
  EXPECT_EQ(blocks[1], 1) << section;

  TempDir dir;
  std::filesystem::create_directory(dir.file("build"));
  for (const char *program : {"qelvo", "qelvo-scope-sim", "qelvo-plot", "qelvo-serve"}) {
    std::filesystem::create_symlink(std::string(QELVO_BUILD_DIR) + "/" + program,
                                    dir.file("build/") + program);
  }
  ProcessResult r = runProgram({"/bin/sh", "-c", script}, {{"QELVO"}, dir.path()});
  ASSERT_EQ(r.exitStatus, 0) << script << "\n" << r.out << r.err;
  EXPECT_GT(sampleLines(readFile(dir.file("capture.dat"))).size(), 100u);
  EXPECT_EQ(readFile(dir.file("capture.csv")).rfind("Time [s],CH1 [V],CH2 [V]\n", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir.file("capture.png")));
  EXPECT_TRUE(contains(r.out, " samples, ")) << r.out;
  EXPECT_TRUE(contains(r.out, " rows of ['Time [s]', 'CH1 [V]', 'CH2 [V]']")) << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("build/scope-tty"))) << "the scope was stopped";
}
