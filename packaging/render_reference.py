#!/usr/bin/python3
"""Renders the method reference, docs/reference.md, as one self-contained HTML page for the
packages (the Windows zip and MSI, the Debian taviksms-doc), with Debian's python3-markdown.

    render_reference.py REFERENCE.md OUT.html VERSION

Headings get the anchors the page's own links use (GitHub's: "Session and configuration" is
#session-and-configuration, "FTP_Connect" #ftp_connect); a link to an anchor the page does not
have stops the build, as does a missing renderer.
"""
import html
import re
import sys
from pathlib import Path

STYLE = """
body { font: 15px/1.5 "Segoe UI", "Malgun Gothic", "Noto Sans CJK KR", sans-serif;
       max-width: 62rem; margin: 2rem auto; padding: 0 1rem; color: #1b1b1b; }
h1, h2, h3 { line-height: 1.25; } h2 { border-bottom: 1px solid #ddd; padding-bottom: .2rem; }
code, pre { font-family: Consolas, "D2Coding", monospace; font-size: 90%; }
code { background: #f3f3f3; padding: 0 .2em; border-radius: 3px; }
pre { background: #f6f8fa; padding: .7rem; overflow-x: auto; } pre code { background: none; }
table { border-collapse: collapse; margin: .8rem 0; }
th, td { border: 1px solid #ccc; padding: .25rem .5rem; vertical-align: top; text-align: left; }
th { background: #f0f0f0; } hr { border: 0; border-top: 1px solid #ccc; margin: 2rem 0; }
.footer { color: #666; font-size: 85%; margin-top: 3rem; }
"""


def slug(text, separator):
    """GitHub's heading anchors: lower case, punctuation other than '-' and '_' dropped, blanks
    to '-'."""
    text = re.sub(r"<[^>]+>", "", html.unescape(text)).strip().lower()
    return re.sub(r"\s", separator, re.sub(r"[^\w\- ]", "", text))


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    source, out, version = Path(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
    try:
        import markdown
    except ImportError:
        print("render_reference: no Markdown renderer: install python3-markdown", file=sys.stderr)
        return 1
    text = source.read_text(encoding="utf-8")
    # GitHub nests a list item indented by two or three blanks under the item above; Python-
    # Markdown wants four.
    text = re.sub(r"^ {2,3}(?=(?:[-*+]|\d+\.) )", "    ", text, flags=re.M)
    body = markdown.markdown(text, extensions=["tables", "fenced_code", "toc"],
                             extension_configs={"toc": {"slugify": slug}}, output_format="html5")
    ids = set(re.findall(r'\bid="([^"]+)"', body))
    broken = sorted(set(re.findall(r'href="#([^"]+)"', body)) - ids)
    if broken:
        print(f"render_reference: {source} links to anchors it does not have: {broken}",
              file=sys.stderr)
        return 1
    title = re.search(r"<h1[^>]*>(.*?)</h1>", body)
    title = re.sub(r"<[^>]+>", "", title.group(1)) if title else "Method reference"
    page = f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>TavikSms {html.escape(version)}: {html.escape(title)}</title>
<style>{STYLE}</style>
</head>
<body>
{body}
<p class="footer">TavikSms {html.escape(version)}</p>
</body>
</html>
"""
    out.write_text(page, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
