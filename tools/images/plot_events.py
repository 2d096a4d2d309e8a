#!/usr/bin/python3
"""Plots an updater-sim events file: the progress bar's position over
virtual time as a step plot, with the dialog's other visible changes
labelled where they happen. The upper panel shows the whole run; the lower
one zooms in on the first update, from the wait cursor to the normal
cursor (a run without one has only the upper panel).

Needs Debian's matplotlib, so it runs under /usr/bin/python3 (not a pyenv
or virtualenv python3 found first on PATH):

    apt-get install -y python3-matplotlib

The picture in the README was made with

    build/host/updater-sim --events /tmp/events.txt
    /usr/bin/python3 tools/images/plot_events.py /tmp/events.txt \\
        docs/simulated-update.png

Neither build nor scripts/test needs this script.
"""

import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (after choosing the backend)
from matplotlib.transforms import Bbox  # noqa: E402

LINE = re.compile(r'^(\d+) (\w+) ?(.*)$')
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')
NEWLINE = "\\n"  # how the events file writes a line break in a text

CONTROLS = {
    0: "caption",
    1000: "Update",
    1008: "device version",
    1010: "file version",
    1014: "device name",
    1017: "progress bar",
}
DEVICE_NAME = 1014

BAR = "#1060c0"
MARK = "#b03030"
SPAN = "#fff6dc"


def read_events(path):
    """Returns [(ms, kind, rest)] in file order."""
    events = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            m = LINE.match(line)
            if not m:
                sys.exit(f"plot_events: {path}:{number}: not an event: {line}")
            events.append((int(m.group(1)), m.group(2), m.group(3)))
    return events


def bar_steps(events):
    """Returns the bar's positions as (times, positions) for a step plot,
    and the largest MAX of the progress range lines (None without one).
    The bar is at 0 until the first position is set."""
    times, positions, maximum = [events[0][0]], [0], None
    for t, kind, rest in events:
        if kind != "progress":
            continue
        words = rest.split()
        if words[0] == "range":
            top = int(words[2])
            maximum = top if maximum is None else max(maximum, top)
        elif words[0] == "pos":
            times.append(t)
            positions.append(int(words[1]))
    times.append(events[-1][0])
    positions.append(positions[-1])
    return times, positions, maximum


def describe(kind, rest):
    """Returns a short label for an event, or None for one the plot shows
    itself (a position or step of the bar)."""
    if kind == "dialog":
        state = rest.split()[0]
        return "dialog opened" if state == "open" else f"dialog {state}"
    if kind == "cursor":
        return "wait cursor" if rest == "wait" else "normal cursor"
    if kind == "enable":
        control, on = rest.split()
        name = CONTROLS.get(int(control), f"control {control}")
        return f"{name} {'enabled' if on == '1' else 'disabled'}"
    if kind == "text":
        control, _, text = rest.partition(" ")
        text = QUOTED.match(text).group(1)
        if int(control) == DEVICE_NAME and text:
            return f'joystick identified: "{text}"'
        name = CONTROLS.get(int(control), f"control {control}")
        return f'{name} "{text}"'
    if kind == "box":
        caption, text = QUOTED.findall(rest)[:2]
        return f'box "{caption}": {text.split(NEWLINE)[0]}'
    if kind == "progress" and rest.startswith("range"):
        low, high = rest.split()[1:3]
        return f"bar range {low}..{high}"
    return None


def labels_by_time(events):
    """Returns [(ms, [label...])], one entry for the events at one ms."""
    groups = []
    for t, kind, rest in events:
        text = describe(kind, rest)
        if text is None:
            continue
        if groups and groups[-1][0] == t:
            groups[-1][1].append(text)
        else:
            groups.append((t, [text]))
    return groups


def update_span(events):
    """Returns (start, end) ms of the first update: the wait cursor to the
    normal cursor after it; None if the run has no update."""
    start = next((t for t, kind, rest in events
                  if kind == "cursor" and rest == "wait"), None)
    if start is None:
        return None
    end = next((t for t, kind, rest in events
                if t >= start and kind == "cursor" and rest == "normal"),
               events[-1][0])
    return start, end


def overlaps(a, b):
    return (a.x0 < b.x1 and b.x0 < a.x1 and a.y0 < b.y1 and b.y0 < a.y1)


def merge_close(groups, plot, pixels=6):
    """Joins groups closer than a few pixels on the plot into one label at
    the first one's time: [(ms, text)]."""
    merged = []
    for t, texts in groups:
        x = plot.transData.transform((t, 0))[0]
        if merged and x - merged[-1][2] < pixels:
            merged[-1][1].append((t, texts))
        else:
            merged.append((t, [(t, texts)], x))
    labels = []
    for t, members, _ in merged:
        lines = []
        for when, texts in members:
            lines.append(f"{when} ms: {texts[0]}")
            lines += texts[1:]
        labels.append((t, "\n".join(lines)))
    return labels


def place_labels(band, labels, renderer):
    """Writes the labels into the band axes above a plot, each at its time
    with a stem down to the plot, and returns the height they take, in
    inches. A label runs rightwards from its stem, or leftwards where it
    would pass the figure's right edge. One that would cover another label
    or stem is raised until it covers none. A label must be lower than the
    labels over its stem, so those over others' stems are placed later:
    the rightward ones from the right, then the leftward ones from the
    left. Where two labels cover each other's stems, the higher one's stem
    crosses the lower label."""
    figure = band.get_figure()
    bottom = band.transAxes.transform((0, 0))[1]

    def note_at(t, text, align, height):
        return band.annotate(
            text, xy=(t, 0), xycoords=("data", "axes fraction"),
            xytext=(3 if align == "left" else -3, height),
            textcoords="offset points", ha=align, va="bottom",
            multialignment="left", fontsize=8.5, linespacing=1.3,
            annotation_clip=False)

    rightward, leftward = [], []
    for t, text in labels:
        note = note_at(t, text, "left", 0)
        fits = note.get_window_extent(renderer).x1 <= figure.bbox.width
        note.remove()
        (rightward if fits else leftward).append((t, text))
    order = [(t, text, "left") for t, text in reversed(rightward)]
    order += [(t, text, "right") for t, text in leftward]

    placed = []  # display boxes of the labels and stems drawn so far
    top = bottom
    for t, text, align in order:
        x = band.transData.transform((t, 0))[0]
        height = 2
        while True:
            note = note_at(t, text, align, height)
            box = note.get_window_extent(renderer)
            box = Bbox.from_extents(box.x0 - 3, box.y0 - 1,
                                    box.x1 + 3, box.y1 + 1)
            stem = Bbox.from_extents(x - 1, bottom, x + 1, box.y0)
            above_all = box.y0 >= top
            if not any(overlaps(box, other)
                       or (overlaps(stem, other) and not above_all)
                       for other in placed):
                break
            note.remove()
            height += 3
        stem_top = band.transAxes.inverted().transform((0, box.y0 + 1))[1]
        band.plot([t, t], [0, stem_top], transform=band.get_xaxis_transform(),
                  color=MARK, linewidth=1, clip_on=False)
        placed += [box, stem]
        top = max(top, box.y1)
    return (top - bottom) / figure.dpi


def draw_panel(plot, band, times, positions, maximum, marks, xlim, title):
    plot.step(times, positions, where="post", color=BAR, linewidth=1.8)
    plot.set_xlim(*xlim)
    plot.set_ylim(-maximum * 0.04, maximum * 1.06)
    plot.set_yticks([round(maximum * i / 4) for i in range(5)])
    plot.set_ylabel(f"bar position (0..{maximum})")
    plot.set_xlabel("virtual time (ms)")
    plot.grid(True, color="#e4e4e4", linewidth=0.6)
    plot.set_axisbelow(True)
    for t in marks:
        plot.axvline(t, color=MARK, linewidth=0.6, linestyle=(0, (2, 3)))
    band.set_xlim(*xlim)
    band.axis("off")
    band.set_title(title, loc="left", fontsize=10, fontweight="bold")


# The layout, in inches: each panel is a title, a band for the labels, the
# plot and its axis label, top to bottom.
WIDTH, LEFT, RIGHT = 10, 0.7, 0.2
TITLE, PLOT, BELOW = 0.3, 2.3, 0.55


def draw(events, bands):
    """Draws the figure with label bands of the given heights (inches);
    returns it and the heights its labels need."""
    times, positions, maximum = bar_steps(events)
    maximum = maximum or 100  # a progress bar's range until one is set
    groups = labels_by_time(events)
    first, last = events[0][0], events[-1][0]
    margin = max((last - first) * 0.02, 1)
    span = update_span(events)

    height = sum(TITLE + band + PLOT + BELOW for band in bands)
    figure = plt.figure(figsize=(WIDTH, height), dpi=100)
    renderer = figure.canvas.get_renderer()
    left, width = LEFT / WIDTH, 1 - (LEFT + RIGHT) / WIDTH
    axes, top = [], height
    for band in bands:
        band_bottom = top - TITLE - band
        plot_bottom = band_bottom - PLOT
        axes.append((figure.add_axes([left, plot_bottom / height, width,
                                      PLOT / height]),
                     figure.add_axes([left, band_bottom / height, width,
                                      band / height])))
        top = plot_bottom - BELOW

    inside = [g for g in groups if span and span[0] <= g[0] <= span[1]]
    outside = [g for g in groups if g not in inside]
    plot, band = axes[0]
    draw_panel(plot, band, times, positions, maximum,
               [t for t, _ in outside], (first - margin, last + margin),
               "The whole run")
    needed = [place_labels(band, merge_close(outside, plot), renderer)]
    if span:
        start, end = span
        plot.axvspan(start, end, color=SPAN, zorder=0)
        plot.text(start + margin / 2, maximum, "the update\n(below)",
                  ha="left", va="top", fontsize=8.5, color="#806020")
        plot, band = axes[1]
        pad = (end - start) * 0.03
        draw_panel(plot, band, times, positions, maximum,
                   [t for t, _ in inside], (start - pad, end + pad),
                   f"The update: {start}\u2013{end} ms, {end - start} ms")
        plot.set_facecolor(SPAN)
        needed.append(place_labels(band, merge_close(inside, plot),
                                   renderer))
    return figure, needed


def main(source, target):
    events = read_events(source)
    if not events:
        sys.exit(f"plot_events: no events in {source}")
    panels = 2 if update_span(events) else 1
    # The labels' heights do not depend on the bands', so a second drawing
    # with the heights the first one measured fits them.
    figure, needed = draw(events, [0.5] * panels)
    plt.close(figure)
    figure, _ = draw(events, [band + 0.05 for band in needed])
    figure.savefig(target, dpi=100)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_events.py EVENTS_FILE OUT.png")
    main(sys.argv[1], sys.argv[2])
