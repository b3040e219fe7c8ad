#!/usr/bin/python3
"""OCR on the corrections: tesseract's character error rate on text pages
degraded as bench/quality.cpp degrades them, before and after each
correction, against the text the pages were drawn from.

Pages: A4 drawn at 300 dpi and scanned at 150 dpi (1240 x 1754), colour,
DejaVu Serif at 7 pt (small, so that the scan's faults show in OCR), in two
kinds: a full page of text, and a page whose lower half is a pale map fill
with labels.
Degradations: shading (light falling off to 0.62 and a yellowish paper
colour), deep shading (the same falling off to 0.3, where OCR of the scan
itself fails in the corners), a book's gutter shadow along the left side (down to a fifth of the
light), flare (everything lifted by 45 levels), yellowed paper, and JPEG at
quality 75 after shading. Methods: the scan untouched, valdrane's default
and valdrane -p (through -o, the scans kept). The CER is the edit distance
between tesseract's words and the page's words, over the page's characters
(spaces and line breaks folded).

Usage: bench/ocr.py BUILD_DIR WORK_DIR   (needs python3-pil, tesseract-ocr,
tesseract-ocr-eng and fonts-dejavu-core)
"""
import os
import subprocess
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFont

WORDS = ("the of and to in is was that for on with as by at from his her an which "
         "paper light river north county letter harbour station parish survey "
         "measured account between during several brought northern southern "
         "record volume number chapter minutes meeting committee estate road "
         "mill church school bridge market field house farm valley hill").split()


def text_lines(seed, count, width):
    state, lines = seed, []
    for _ in range(count):
        line = []
        while len(" ".join(line)) < width:
            state = (state * 1103515245 + 12345) % 2**31
            line.append(WORDS[state % len(WORDS)])
        lines.append(" ".join(line[:-1]))
    return lines


def draw_page(kind):
    w, h = 2480, 3508
    page = Image.new("RGB", (w, h), "white")
    draw = ImageDraw.Draw(page)
    font = ImageFont.truetype("/usr/share/fonts/truetype/dejavu/DejaVuSerif.ttf", 29)
    lines = text_lines(7 if kind == "text" else 11, 75 if kind == "text" else 35, 90)
    y = 250
    for line in lines:
        draw.text((260, y), line, fill=(30, 30, 30), font=font)
        y += 40
    if kind == "map":
        draw.rectangle((200, 1750, w - 200, h - 250), fill=(250, 238, 175), outline=(60, 50, 45),
                       width=6)
        labels = text_lines(13, 8, 40)
        for k, label in enumerate(labels):
            draw.text((320, 1850 + k * 180), label, fill=(60, 60, 60), font=font)
        lines += labels
    return page, "\n".join(lines)


def shading(w, h, low):
    grad = Image.radial_gradient("L").resize((w, h))  # 0 at the centre, 255 at the corners
    return grad.point(lambda v: int(255 * (1 - (1 - low) * (v / 255) ** 2)))


def degrade(page, how):
    w, h = page.size
    if how == "flare":
        return page.point(lambda v: int(v * 0.8 + 45))
    if how == "gutter":
        across = Image.linear_gradient("L").rotate(-90, expand=True).resize((w, h))  # 255 at the left
        light = across.point(lambda v: int(255 * (1 - 0.8 * (v / 255) ** 12)))
        return ImageChops.multiply(page, Image.merge("RGB", [light] * 3))
    tint = Image.new("RGB", (w, h), (242, 225, 185) if how == "yellowed" else (242, 224, 184))
    out = ImageChops.multiply(page, tint)
    if how in ("shading", "JPEG", "deep shading"):
        light = shading(w, h, 0.3 if how == "deep shading" else 0.62)
        out = ImageChops.multiply(out, Image.merge("RGB", [light] * 3))
    return out


def words(text):
    return " ".join(text.split())


def cer(found, truth):
    a, b = words(found), words(truth)
    previous = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        current = [i]
        for j, cb in enumerate(b, 1):
            current.append(min(previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (ca != cb)))
        previous = current
    return previous[-1] / max(1, len(b))


def ocr(path):
    return subprocess.run(["tesseract", path, "-", "-l", "eng", "--psm", "3"], capture_output=True,
                          text=True, check=True).stdout


def main():
    build, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    tool = os.path.join(build, "valdrane")
    os.makedirs(work, exist_ok=True)
    rows = []
    for kind in ("text", "map"):
        clean, truth = draw_page(kind)
        for how in ("shading", "gutter", "flare", "yellowed", "JPEG", "deep shading"):
            folder = os.path.join(work, f"{kind}-{how}")
            os.makedirs(folder, exist_ok=True)
            scan = degrade(clean, how).resize((1240, 1754), Image.BOX)
            if how == "JPEG":
                scan.save(os.path.join(folder, "scan.jpg"), quality=75)
                scan = Image.open(os.path.join(folder, "scan.jpg")).convert("RGB")
            scan.save(os.path.join(folder, "scan.tif"), compression="tiff_lzw")
            row = [f"{kind}, {how}"]
            outputs = {"scan": os.path.join(folder, "scan.tif")}
            for name, args in (("default", []), ("-p", ["-p"])):
                out = os.path.join(folder, "out" + name)
                subprocess.run([tool, *args, "--force", "-o", out, "scan.tif"], cwd=folder,
                               capture_output=True, check=True)
                outputs[name] = os.path.join(out, "scan.tif")
            for name in ("scan", "default", "-p"):
                row.append(cer(ocr(outputs[name]), truth))
            rows.append(row)
    print("| page, degradation | scan | default | -p |")
    print("|---|---|---|---|")
    for row in rows:
        print(f"| {row[0]} | " + " | ".join(f"{100 * v:.2f}%" for v in row[1:]) + " |")
    worse = [r[0] for r in rows if r[3] > r[1] + 1e-9]
    print("\n-p worse than the scan on:", ", ".join(worse) if worse else "none")


if __name__ == "__main__":
    main()
