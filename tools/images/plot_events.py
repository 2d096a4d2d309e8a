#!/usr/bin/env python3
"""Draws an updater-sim events file as a picture: the progress bar's
position over virtual time, with the dialog's other visible changes marked.

    updater-sim --latency 1 --events e.txt
    tools/images/plot_events.py e.txt out.svg     (convert out.svg out.png)
"""
import re
import sys

LINE = re.compile(r'^(\d+) (\w+) (.*)$')


def read_events(path):
    events = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            m = LINE.match(line.rstrip("\n"))
            if m:
                events.append((int(m.group(1)), m.group(2), m.group(3)))
    return events


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def main(source, target):
    events = read_events(source)
    if not events:
        sys.exit("no events in " + source)
    end = max(t for t, _, _ in events)
    width, height, left, top, plot_h = 900, 420, 60, 30, 220
    scale_x = (width - left - 20) / max(end, 1)
    maximum = 100
    points = [(0, 0)]
    notes = []
    for t, kind, rest in events:
        if kind == "progress" and rest.startswith("range"):
            maximum = int(rest.split()[2])
        elif kind == "progress" and rest.startswith("pos"):
            points.append((t, int(rest.split()[1])))
        elif kind in ("box", "dialog", "cursor", "enable"):
            notes.append((t, kind + " " + rest))
    points.append((end, points[-1][1]))

    def x(t):
        return left + t * scale_x

    def y(pos):
        return top + plot_h - plot_h * pos / max(maximum, 1)

    path = " ".join(f"{x(t):.1f},{y(p):.1f}" for t, p in points)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}">',
           '<rect width="100%" height="100%" fill="white"/>',
           f'<text x="{left}" y="18" font-family="sans-serif" font-size="14">'
           f'Progress bar position over virtual time (ms), one simulated update</text>',
           f'<line x1="{left}" y1="{top + plot_h}" x2="{width - 20}" y2="{top + plot_h}" stroke="black"/>',
           f'<line x1="{left}" y1="{top}" x2="{left}" y2="{top + plot_h}" stroke="black"/>',
           f'<text x="{left - 8}" y="{top + 5}" text-anchor="end" font-family="sans-serif" '
           f'font-size="11">{maximum}</text>',
           f'<text x="{left - 8}" y="{top + plot_h}" text-anchor="end" font-family="sans-serif" '
           f'font-size="11">0</text>',
           f'<text x="{width - 20}" y="{top + plot_h + 14}" text-anchor="end" '
           f'font-family="sans-serif" font-size="11">{end} ms</text>',
           f'<polyline points="{path}" fill="none" stroke="#1060c0" stroke-width="2"/>']
    for i, (t, text) in enumerate(notes[:10]):
        ty = top + plot_h + 34 + 16 * i
        out.append(f'<line x1="{x(t):.1f}" y1="{top}" x2="{x(t):.1f}" y2="{top + plot_h}" '
                   f'stroke="#c04040" stroke-dasharray="3,3"/>')
        out.append(f'<text x="{left}" y="{ty}" font-family="monospace" font-size="11">'
                   f'{t:>6} {escape(text[:110])}</text>')
    out.append("</svg>")
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_events.py EVENTS_FILE OUT.svg")
    main(sys.argv[1], sys.argv[2])
