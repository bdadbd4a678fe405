#!/usr/bin/env python3
"""Writes NUV_OSD.pdf, the notice of the open-source software Ostrel Recorder uses.

The About dialog links to this document, which is installed beside the executable. It is plain
PDF 1.4 written by hand (standard Helvetica fonts, uncompressed text streams), so the standard
library is all that is needed:

    python3 resources/license/make_license_pdf.py
"""

import os
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))

PAGE_W, PAGE_H = 595, 842  # A4 in points
MARGIN = 64
# Helvetica averages about half an em per character in running English text; this keeps
# 10 pt lines inside the margins without carrying the font's width table around.
WRAP = 86

# (style, text): "title", "subtitle", "heading", "para", "item", "gap"
CONTENT = [
    ("title", "Ostrel Recorder 1.1.4"),
    ("subtitle", "Open Source Software Notice"),
    ("gap", ""),
    (
        "para",
        "This product uses third-party open-source software. The components are listed below with "
        "their licences and where their source code can be obtained. Each component remains under "
        "its own licence; nothing in the terms of Ostrel Recorder restricts the rights these "
        "licences give you.",
    ),
    ("heading", "1. Qt 6"),
    ("item", "Modules used: QtCore, QtGui, QtWidgets, QtXml."),
    ("item", "Copyright (C) The Qt Company Ltd. and other contributors."),
    ("item", "Licence: GNU Lesser General Public License, version 3 (LGPL-3.0)."),
    (
        "item",
        "Ostrel Recorder uses the Qt libraries unmodified and links to them dynamically. You may "
        "replace them with another build of a compatible Qt 6 version, including one you have "
        "modified yourself; the program will use it.",
    ),
    (
        "item",
        "Source code: the complete source code of every Qt release is available from "
        "https://download.qt.io/ and from the Qt source repositories at https://code.qt.io/. "
        "On Debian and its derivatives the source of the installed Qt libraries is obtained with "
        "\"apt-get source qt6-base\".",
    ),
    (
        "item",
        "Licence texts: https://www.gnu.org/licenses/lgpl-3.0.html (the LGPL-3.0) and "
        "https://www.gnu.org/licenses/gpl-3.0.html (the GPL-3.0, which the LGPL-3.0 builds on).",
    ),
    (
        "item",
        "Qt itself contains further third-party components; their notices come with your Qt "
        "installation and are listed in the Qt documentation under \"Licenses Used in Qt\".",
    ),
    ("heading", "2. System libraries"),
    (
        "para",
        "The program also runs on these libraries of the operating system. They are not part of "
        "the program's distribution; they are loaded from the system at run time.",
    ),
    (
        "item",
        "GNU C Library (glibc): GNU Lesser General Public License, version 2.1 or later "
        "(LGPL-2.1-or-later). Source: https://www.gnu.org/software/libc/",
    ),
    (
        "item",
        "GNU C++ Library (libstdc++) and GCC runtime library (libgcc): GNU General Public License, "
        "version 3, with the GCC Runtime Library Exception 3.1. Source: https://gcc.gnu.org/",
    ),
    ("heading", "3. Contact"),
    (
        "para",
        "Questions about this notice: NUV, www.nuv.example. This document is installed as "
        "license/NUV_OSD.pdf in the directory of the ostrel_recorder program.",
    ),
]

STYLES = {  # font resource, size, leading, space before
    "title": ("F2", 18, 24, 0),
    "subtitle": ("F2", 13, 18, 2),
    "heading": ("F2", 12, 16, 14),
    "para": ("F1", 10, 14, 6),
    "item": ("F1", 10, 14, 4),
    "gap": ("F1", 10, 6, 0),
}


def pdf_string(text):
    text = text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)")
    return "(" + text + ")"


def layout_pages():
    """Returns one list of (font, size, x, y, text) per page."""
    pages = [[]]
    y = PAGE_H - MARGIN
    for style, text in CONTENT:
        font, size, leading, before = STYLES[style]
        if style == "gap":
            y -= leading
            continue
        if style == "item":
            lines = textwrap.wrap(text, WRAP - 3)
            indent = [(MARGIN, "-")] + [(MARGIN, "")] * (len(lines) - 1)
            x_text = MARGIN + 12
        else:
            lines = textwrap.wrap(text, WRAP) if style == "para" else [text]
            indent = [(MARGIN, "")] * len(lines)
            x_text = MARGIN
        y -= before
        if y - leading * len(lines) < MARGIN:  # keep a block together on a fresh page
            pages.append([])
            y = PAGE_H - MARGIN
        for line, (x_bullet, bullet) in zip(lines, indent):
            y -= leading
            if bullet:
                pages[-1].append((font, size, x_bullet, y, bullet))
            pages[-1].append((font, size, x_text, y, line))
    return pages


def content_stream(runs):
    ops = []
    for font, size, x, y, text in runs:
        ops.append("BT /%s %d Tf %d %d Td %s Tj ET" % (font, size, x, y, pdf_string(text)))
    return ("\n".join(ops) + "\n").encode("latin-1")


def build_pdf():
    pages = layout_pages()
    # object numbers: 1 catalog, 2 page tree, 3 and 4 fonts, 5 info, then page and content pairs
    first_page = 6
    page_ids = [first_page + 2 * i for i in range(len(pages))]
    objects = {
        1: b"<< /Type /Catalog /Pages 2 0 R >>",
        2: (
            "<< /Type /Pages /Kids [%s] /Count %d >>"
            % (" ".join("%d 0 R" % p for p in page_ids), len(pages))
        ).encode(),
        3: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>",
        4: b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica-Bold /Encoding /WinAnsiEncoding >>",
        5: (
            b"<< /Title (Ostrel Recorder - Open Source Software Notice) /Author (NUV) "
            b"/Producer (make_license_pdf.py) /CreationDate (D:20151105000000Z) >>"
        ),
    }
    for page_id, runs in zip(page_ids, pages):
        stream = content_stream(runs)
        objects[page_id] = (
            "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] "
            "/Resources << /Font << /F1 3 0 R /F2 4 0 R >> >> /Contents %d 0 R >>"
            % (PAGE_W, PAGE_H, page_id + 1)
        ).encode()
        objects[page_id + 1] = (
            b"<< /Length %d >>\nstream\n" % len(stream) + stream + b"endstream"
        )

    out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
    offsets = {}
    for number in sorted(objects):
        offsets[number] = len(out)
        out += b"%d 0 obj\n" % number + objects[number] + b"\nendobj\n"
    count = max(objects) + 1
    xref_at = len(out)
    out += b"xref\n0 %d\n" % count
    out += b"0000000000 65535 f \n"
    for number in range(1, count):
        out += b"%010d 00000 n \n" % offsets[number]
    out += b"trailer\n<< /Size %d /Root 1 0 R /Info 5 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (count, xref_at)
    return bytes(out)


def main():
    with open(os.path.join(HERE, "NUV_OSD.pdf"), "wb") as f:
        f.write(build_pdf())


if __name__ == "__main__":
    main()
