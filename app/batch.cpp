#include "batch.h"

#include <cstdint>
#include <new>
#include <string>

#include "flatten.h"
#include "image.h"
#include "platform.h"
#include "reconstruct.h"
#include "report.h"
#include "resample.h"
#include "safe_file.h"
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
// every stage overwrites what it produces. Running out of memory fails the
// page, not the run: its memory is given back and the next page goes on.
void ProcessEntry(const std::string& name, TMyImage& Page, TMyImage& Reduced,
                  TMyImage& Background) {
  std::uint64_t StageStart = NowMs();
  const std::uint64_t FileStart = NowMs();
  const std::string shown = PrintableName(name);
  TPageFile File;
  bool read = false;
  try {
    if (OpenPage(name.c_str(), File) != 1 || ReadTiff(File, Page, UsableMemory()) != 1) {
      ReportLine("image " + shown + " read error");
      return;
    }
    read = true;
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
      written = WriteRgbTiff(File, Page);
    } else {
      written = WriteGrayTiff(File, Page);
    }
    if (written != 1) {
      ReportLine("image " + shown + " write error");
      return;
    }
    StageLine("write ", StageStart);

    ReportLine("total " + FormatSeconds(NowMs() - FileStart));
    ReportLine(shown);
  } catch (const std::bad_alloc&) {
    Page = Reduced = Background = TMyImage{};
    ReportLine("image " + shown + (read ? " write error" : " read error"));
  }
}

}  // namespace

int RunBatch() {
  SetTerminalTitle("Valdrane");
  ReportLine("Valdrane v.0.3 alpha");
  ReportLine("______20.05.2007._______________");

  // What killed runs left behind; this run holds the folder's lock.
  RemoveLeftovers();
  TMyImage Page;
  TMyImage Reduced;
  TMyImage Background;
  for (const std::string& name : ListTifNames()) ProcessEntry(name, Page, Reduced, Background);
  return 0;
}
