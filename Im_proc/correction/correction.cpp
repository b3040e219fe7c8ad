#include "correction.h"

void FlattenPage(TMyImage& page, unsigned threads) {
  TMyImage reduced = DownscaleMin(page, threads);
  TMyImage background = MakeBorderSeed(reduced);
  ReconstructBackground(reduced, background);
  background = UpscaleNearest(background, page, threads);
  reduced = CopyImage(page, threads);
  DivideByBackground(page, background, threads);
  if (IsColour(page)) {
    SubtractImage(page, reduced, threads);
    AddGainToRgb(page, threads);
  }
}

TPaperField FlattenAgainstPaper(TMyImage& page, unsigned threads) {
  TMyImage reduced = DownscaleMin(page, threads);
  DownscaleMinRgb(page, reduced, threads);
  TPaperField paper;
  FindMargin(reduced, paper);
  EstimatePaper(reduced, paper, threads);
  DivideByPaper(page, paper, threads);
  return paper;
}
