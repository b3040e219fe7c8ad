#!/usr/bin/python3
"""End-to-end test of the OCRmyPDF plugin with Debian's ocrmypdf and
tesseract: a shaded scanned page of known text, made into a PDF (lossless),
through ocrmypdf without the plugin, with --valdrane and with --valdrane-ocr.

It checks that the page in the output PDF is flattened with --valdrane
(its paper near white, where the scan's was shaded) and exactly the scan
with --valdrane-ocr, and that OCR's character error against the page's
text is no worse with the plugin than without; it prints the figures.

Usage: test_plugin.py VALDRANE_PROGRAM    (exit status 0 when all hold)
"""
import io
import os
import subprocess
import sys
import tempfile
from importlib.metadata import entry_points
from pathlib import Path

import img2pdf
import pikepdf
from PIL import Image, ImageDraw, ImageFont

HERE = Path(__file__).resolve().parent
WORDS = ("paper light river north county letter harbour station parish survey "
         "measured account between during several brought record volume number "
         "chapter minutes meeting committee estate mill church school bridge").split()


def known_text():
    state, lines = 5, []
    for _ in range(24):
        line = []
        while len(" ".join(line)) < 52:
            state = (state * 1103515245 + 12345) % 2**31
            line.append(WORDS[state % len(WORDS)])
        lines.append(" ".join(line[:-1]))
    return lines


def shaded_scan(lines):
    """A grey page at 150 dpi, its light falling to a third at one corner."""
    w, h = 1240, 1754
    page = Image.new("L", (w, h), 255)
    draw = ImageDraw.Draw(page)
    font = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf", 24)
    for k, line in enumerate(lines):
        draw.text((120, 140 + k * 56), line, fill=25, font=font)
    light = Image.linear_gradient("L").resize((w, h)).point(lambda v: 255 - v * 200 // 255)
    side = Image.linear_gradient("L").rotate(90).resize((w, h)).point(lambda v: 255 - v * 120 // 255)
    shade = Image.eval(Image.blend(light, side, 0.5), lambda v: v)
    scan = Image.new("L", (w, h))
    scan.putdata([p * s // 255 for p, s in zip(page.getdata(), shade.getdata())])
    return scan


def cer(found, wanted):
    a, b = " ".join(found.split()), " ".join(wanted.split())
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[len(b)] / max(1, len(b))


def page_image(pdf_path):
    with pikepdf.open(pdf_path) as pdf:
        images = list(pdf.pages[0].images.values())
        return pikepdf.PdfImage(images[0]).as_pil_image().convert("L")


def main():
    program = os.path.abspath(sys.argv[1])
    lines = known_text()
    wanted = "\n".join(lines)
    scan = shaded_scan(lines)
    failures = []
    # Where the package is installed, ocrmypdf loads its plugin with every
    # run, and the same options may not be added twice.
    installed = any(e.name == "valdrane" for e in entry_points(group="ocrmypdf"))
    if installed:
        print("the installed plugin is tested (the package's entry point loads it)")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        png = io.BytesIO()
        scan.save(png, format="PNG", dpi=(150, 150))
        (work / "scan.pdf").write_bytes(img2pdf.convert(png.getvalue()))
        env = dict(os.environ, VALDRANE=program)
        runs = {"without": [], "--valdrane": ["--valdrane"], "--valdrane-ocr": ["--valdrane-ocr"]}
        errors = {}
        for name, extra in runs.items():
            out = work / f"{name.strip('-')}.pdf"
            text = work / f"{name.strip('-')}.txt"
            plugin = ["--plugin", str(HERE / "valdrane_ocrmypdf.py")] if extra and not installed else []
            done = subprocess.run(
                ["ocrmypdf", "-q", "-l", "eng", "--output-type", "pdf", "--sidecar", str(text),
                 *plugin, *extra, str(work / "scan.pdf"), str(out)],
                env=env, capture_output=True, text=True, check=False)
            if done.returncode != 0:
                failures.append(f"ocrmypdf {name}: exit {done.returncode}: {done.stderr}")
                continue
            errors[name] = cer(text.read_text(), wanted)
            image = page_image(out)
            # The paper at the shaded corner, where the scan is at its darkest.
            corner = image.crop((1100, 1650, 1230, 1740))
            paper = sorted(corner.getdata())[len(corner.getdata()) * 3 // 4]
            same = image.tobytes() == scan.tobytes()
            print(f"{name:14} CER {errors[name] * 100:5.2f} %  page: paper at the dark corner "
                  f"{paper:3}, {'the scan as it was' if same else 'changed'}")
            if name == "--valdrane" and (same or paper < 240):
                failures.append("--valdrane: the page in the PDF is not flattened")
            if name in ("without", "--valdrane-ocr") and not same:
                failures.append(f"{name}: the page in the PDF is not the scan")
        for name in ("--valdrane", "--valdrane-ocr"):
            if name in errors and "without" in errors and errors[name] > errors["without"]:
                failures.append(f"{name}: OCR worse than without the plugin")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
