// The status line's text and its pacing on a terminal and in a log.
#include "monitor/status_display.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

HealthFigures Turning() {
  HealthFigures f{};
  f.rate_known = true;
  f.rate_mean = 20.004;
  f.rate_min = 19.95;
  f.rate_max = 20.061;
  f.rates_known = true;
  f.samples_per_s = 49999.6;
  f.fetches_per_s = 40.04;
  f.lost_events = 2;
  f.angle_known = true;
  f.last_angle = -3.14159 / 2;
  return f;
}

TEST(StatusLine, Figures) {
  const struct {
    const char* name;
    void (*change)(HealthFigures&);
    const char* line;
  } cases[] = {
      {"turning", [](HealthFigures&) {},
       "mirror 20.00 rev/s (19.95-20.06)  50000 samples/s  40.0 fetches/s  data lost 2  angle "
       "-90.0"},
      {"nothing yet", [](HealthFigures& f) { f = HealthFigures{}; },
       "mirror -- rev/s  -- samples/s  -- fetches/s  data lost 0  angle --"},
      {"stopped",
       [](HealthFigures& f) {
         f.rate_known = false;
         f.no_index_warning = true;
         f.last_angle = 0.05;
       },
       "mirror -- rev/s  50000 samples/s  40.0 fetches/s  data lost 2  angle 2.8  ! mirror not "
       "turning?"},
      {"slowing", [](HealthFigures& f) { f.rate_warning = true; },
       "mirror 20.00 rev/s (19.95-20.06)  50000 samples/s  40.0 fetches/s  data lost 2  angle "
       "-90.0  ! mirror rate changed"},
  };
  for (const auto& c : cases) {
    HealthFigures f = Turning();
    c.change(f);
    char line[kStatusLineBytes];
    std::size_t length = FormatStatusLine(f, line, sizeof line);
    EXPECT_EQ(std::string(line, length), c.line) << c.name;
  }
  // A short buffer cuts the line and stays terminated.
  char small[10];
  EXPECT_EQ(FormatStatusLine(Turning(), small, sizeof small), 9u);
  EXPECT_EQ(std::string(small), "mirror 20");
}

std::string Drain(std::FILE* stream) {
  std::rewind(stream);
  std::string text;
  for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) text += static_cast<char>(c);
  std::fclose(stream);
  return text;
}

TEST(StatusDisplay, InPlaceOnATerminalPlainLinesInALog) {
  HealthFigures figures{};
  HealthTotals totals{};
  totals.samples = 100;
  totals.fetches = 4;
  totals.lost_events = 1;
  for (bool terminal : {true, false}) {
    SCOPED_TRACE(terminal);
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    figures.lost_events = 0;
    StatusDisplay display;
    StartStatusDisplay(display, terminal, 100.0);
    UpdateStatusDisplay(display, stream, figures, 100.0);  // at once
    figures.lost_events = 1;
    UpdateStatusDisplay(display, stream, figures, 100.1);  // too soon on both
    UpdateStatusDisplay(display, stream, figures, 100.3);  // due on a terminal only
    ClearStatusDisplay(display, stream);
    FinishStatusDisplay(display, stream, totals, 2.5);
    const std::string a = "mirror -- rev/s  -- samples/s  -- fetches/s  data lost 0  angle --";
    const std::string b = "mirror -- rev/s  -- samples/s  -- fetches/s  data lost 1  angle --";
    const std::string summary =
        "Summary: run time 2.5 s, 100 samples in 4 fetches, data lost 1 time, mirror rate "
        "unknown (no whole revolution seen)\n";
    if (terminal) {
      EXPECT_EQ(Drain(stream),
                "\r" + a + "\r" + b + "\r" + std::string(b.size(), ' ') + "\r" + summary);
    } else {
      EXPECT_EQ(Drain(stream), a + "\n" + summary);
    }
  }
}

}  // namespace
