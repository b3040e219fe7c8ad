#include "batch.h"

#include <cstdint>
#include <string>

#include "flatten.h"
#include "image.h"
#include "platform.h"
#include "reconstruct.h"
#include "report.h"
#include "resample.h"
#include "tiff_io.h"

namespace {

// Prints a stage's line, "label" directly followed by the seconds since
// `stageStart`, and restarts the stage clock once the line is out, so that
// no stage's figure includes the printing of a report line.
void StageLine(const char* label, std::uint64_t& stageStart) {
  const std::uint64_t end = NowMs();
  ReportLine(label + FormatSeconds(end - stageStart));
  stageStart = NowMs();
}

// The road of one page. The three records are reused from page to page;
// every stage overwrites what it produces.
void ProcessEntry(const std::string& name, TMyImage& Page, TMyImage& Reduced,
                  TMyImage& Background) {
  std::uint64_t StageStart = NowMs();
  const std::uint64_t FileStart = NowMs();

  if (ReadTiff(name.c_str(), Page) != 1) {
    ReportLine("image " + name + " read error");
    return;
  }
  StageLine("read ", StageStart);

  Reduced = DownscaleMin(Page);
  StageLine("down ", StageStart);
  Background = MakeBorderSeed(Reduced);
  StageLine("border ", StageStart);
  ReconstructBackground(Reduced, Background);
  StageLine("bg ", StageStart);
  Background = UpscaleNearest(Background, Page);
  StageLine("up ", StageStart);
  Reduced = CopyImage(Page);
  StageLine("copy ", StageStart);
  DivideByBackground(Page, Background);
  StageLine("div ", StageStart);

  std::int32_t written;
  if (Page.Photometric == 2) {
    SubtractImage(Page, Reduced);
    StageLine("substract ", StageStart);
    AddGainToRgb(Page);
    written = WriteRgbTiff(name.c_str(), Page);
  } else {
    written = WriteGrayTiff(name.c_str(), Page);
  }
  if (written != 1) {
    ReportLine("image " + name + " write error");
    return;
  }
  StageLine("write ", StageStart);

  ReportLine("total " + FormatSeconds(NowMs() - FileStart));
  ReportLine(name);
}

}  // namespace

int RunBatch() {
  SetTerminalTitle("Valdrane");
  ReportLine("Valdrane v.0.3 alpha");
  ReportLine("______20.05.2007._______________");

  TMyImage Page;
  TMyImage Reduced;
  TMyImage Background;
  for (const std::string& name : ListTifNames()) ProcessEntry(name, Page, Reduced, Background);
  return 0;
}
