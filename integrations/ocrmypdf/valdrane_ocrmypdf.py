"""OCRmyPDF plugin: flattens the background of scanned pages with valdrane.

    ocrmypdf --plugin valdrane_ocrmypdf --valdrane scan.pdf out.pdf
    ocrmypdf --plugin /path/to/valdrane_ocrmypdf.py --valdrane-ocr scan.pdf out.pdf

--valdrane flattens the image of each page that goes into the PDF, and the
image OCR sees; --valdrane-ocr only the image OCR sees, the PDF's pages
staying as they were. Both divide by the paper (valdrane -p) unless
--valdrane-default asks for valdrane's default correction. The program is
the one VALDRANE names, else `valdrane` on PATH.

A page valdrane leaves as it is (a bilevel or palette image, too little
paper, any refusal) goes on unchanged, with a warning in OCRmyPDF's log.
Released under the MIT License, as valdrane is.
"""

from __future__ import annotations

import json
import logging
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from PIL import Image

from ocrmypdf import hookimpl
from ocrmypdf.exceptions import BadArgsError, MissingDependencyError

log = logging.getLogger(__name__)


def _program() -> str | None:
    named = os.environ.get("VALDRANE")
    if named:
        return named if os.access(named, os.X_OK) else None
    return shutil.which("valdrane")


@hookimpl
def add_options(parser):
    group = parser.add_argument_group(
        "valdrane", "Flatten the paper of scanned pages with valdrane"
    )
    group.add_argument(
        "--valdrane",
        action="store_true",
        help="Flatten each page image that goes into the PDF, and the image "
        "OCR sees (the pages are rasterised, as with --deskew).",
    )
    group.add_argument(
        "--valdrane-ocr",
        action="store_true",
        help="Flatten only the image OCR sees; the PDF's pages stay as they are.",
    )
    group.add_argument(
        "--valdrane-default",
        action="store_true",
        help="Use valdrane's default correction instead of its correction "
        "against the paper (-p).",
    )


@hookimpl
def check_options(options):
    if not (options.valdrane or options.valdrane_ocr):
        return
    if options.valdrane and options.valdrane_ocr:
        raise BadArgsError("--valdrane already flattens the image OCR sees; give one of them")
    program = _program()
    if program is None:
        raise MissingDependencyError(
            "valdrane: not found (install it, put it on PATH, or set VALDRANE=/path/to/valdrane)"
        )
    options.valdrane_program = program
    if options.valdrane:
        # The page image is only made, and shown to filter_page_image, when
        # the page is rebuilt from its image, as the other preprocessing does.
        if options.redo_ocr:
            raise BadArgsError("--valdrane is not compatible with --redo-ocr")
        options.lossless_reconstruction = False


def _flatten(image: Image.Image, options, name: str) -> Image.Image | None:
    """The image flattened by valdrane, or None where it left it as it was."""
    if image.mode not in ("L", "RGB"):
        log.warning("%s: a %s image is not flattened by valdrane", name, image.mode)
        return None
    with tempfile.TemporaryDirectory(prefix="valdrane-") as folder:
        page = Path(folder) / "page.tif"
        logged = Path(folder) / "log.jsonl"
        image.save(page, format="TIFF", dpi=image.info.get("dpi", (300, 300)))
        command = [options.valdrane_program, "-j", "1", f"--log={logged}"]
        if not options.valdrane_default:
            command.append("-p")
        command.append(str(page))
        done = subprocess.run(command, capture_output=True, check=False)
        outcome = None
        if logged.exists():
            lines = logged.read_text(encoding="utf-8").splitlines()
            outcome = json.loads(lines[-1]) if lines else None
        if done.returncode != 0 or outcome is None or outcome["outcome"] != "flattened":
            reason = outcome.get("reason") if outcome else done.stderr.decode(errors="replace")
            log.warning("%s: valdrane left it as it was (%s)", name, reason)
            return None
        if outcome.get("note"):
            log.info("%s: valdrane: %s", name, outcome["note"])
        with Image.open(page) as flat:
            flat.load()
            result = flat.copy()
    result.info.update({k: v for k, v in image.info.items() if k in ("dpi", "icc_profile")})
    return result


@hookimpl
def filter_ocr_image(page, image):
    options = page.options
    if not (options.valdrane or options.valdrane_ocr):
        return image
    flat = _flatten(image, options, f"page {page.pageno + 1} (OCR)")
    return image if flat is None else flat


@hookimpl
def filter_page_image(page, image_filename):
    options = page.options
    if not options.valdrane:
        return image_filename
    with Image.open(image_filename) as image:
        image.load()
        kind = image.format
        flat = _flatten(image, options, f"page {page.pageno + 1}")
    if flat is None:
        return image_filename
    output = image_filename.with_name(image_filename.stem + "_valdrane" + image_filename.suffix)
    dpi = flat.info.get("dpi", (300, 300))
    if kind == "JPEG":
        # The page was going into the PDF as JPEG already.
        flat.save(output, format="JPEG", dpi=dpi, quality=95, subsampling=0)
    else:
        flat.save(output, format="PNG", dpi=dpi)
    return output
