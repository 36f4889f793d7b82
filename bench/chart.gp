# Draws the benchmark's summary as an SVG chart: each kernel's time per byte
# of input over the floor's (the block copy through the same streams; memcpy
# in memory), a panel per direction (rows) and shape of text (columns), the
# ways of calling side by side, a bar per kernel with its value over it, and
# the floor as a dashed line at 1.
#
#   gnuplot -c bench/chart.gp DATA OUT.svg "KERNEL..." "SHAPE|SHAPE|..." SUBTITLE TOP
#
# bench/report.py --chart runs it. DATA (report.py --print chart-data)
# holds, per direction (encode first) and shape, a block for index:
# one line per way of calling, its name, then each kernel's value; blocks
# are separated by two blank lines. NaN marks a failed row. TOP is the
# y axis's top, the same in every panel.

data = ARG1
out = ARG2
series = ARG3
subtitle = ARG5
top = ARG6 + 0
nseries = words(series)

# The shape titles, split at '|'.
shape_titles = ARG4
array shapes[8]
nshapes = 0
rest = shape_titles
while (strlen(rest) > 0 && nshapes < 8) {
    cut = strstrt(rest, "|")
    nshapes = nshapes + 1
    if (cut == 0) { shapes[nshapes] = rest; rest = "" } else { shapes[nshapes] = rest[1:cut-1]; rest = rest[cut+1:] }
}

colour(i) = word("#4e79a7 #f28e2b #59a14f #b07aa1 #76b7b2 #edc948", i)
floor_name = "floor = 1 (block copy through the same streams; memcpy in memory)"

set terminal svg size 330 * nshapes + 80, 780 dynamic enhanced font "sans,11" background "white"
set output out
set multiplot layout 2, nshapes margins 0.05, 0.98, 0.06, 0.82 spacing 0.06, 0.12 \
    title "qelcode: time per byte of input over the floor's (lower is faster; the floor is 1)\n{/*0.8 " . subtitle . "}"

gap = 1    # as in the histogram style below
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set boxwidth 0.9
set grid ytics lc rgb "#dddddd"
set yrange [0:top]
# The clusters stand at 0, 1, ..., one per way of calling.
stats data index 0 using 0 nooutput
set xrange [-0.6:STATS_records - 0.4]
unset key
set xtics nomirror scale 0 font ",10"
set ytics nomirror
set border 3

# The centre of series c's bar in the cluster at x.
bar_x(x, c) = x + (c - 1 - (nseries - 1) / 2.0) / (nseries + gap)
shown(v) = v != v ? "" : (v < 10 ? sprintf("%.1f", v) : sprintf("%.0f", v))

do for [d = 1:2] {
    do for [i = 1:nshapes] {
        block = (d - 1) * nshapes + i - 1
        set title (d == 1 ? "encode, " : "decode, ") . shapes[i] font ",11"
        plot for [c = 2:nseries + 1] data index block using c:xtic(1) lc rgb colour(c - 1), \
             for [c = 2:nseries + 1] data index block using (bar_x($0, c - 1)):(column(c)):(shown(column(c))) \
                 with labels offset 0, 0.5 font ",8", \
             1 with lines dt 2 lw 1.5 lc rgb "black"
    }
}

# The key, once, across the whole width under the title: boxes and names
# placed in screen coordinates, drawn by an empty plot.
unset title
unset border
unset tics
unset grid
set multiplot next
set origin 0, 0
set size 1, 1
entry_width = 0.13
key_left = 0.5 - (entry_width * nseries + 0.4) / 2.0
do for [c = 1:nseries] {
    x = key_left + (c - 1) * entry_width
    set object c rectangle from screen x, 0.872 to screen x + 0.018, 0.892 fillcolor rgb colour(c) fillstyle solid 0.9 border lc rgb "black"
    set label c word(series, c) at screen x + 0.024, 0.882 left font ",10"
}
x = key_left + nseries * entry_width
set arrow 1 from screen x, 0.882 to screen x + 0.018, 0.882 nohead dt 2 lw 1.5 lc rgb "black"
set label nseries + 1 floor_name at screen x + 0.024, 0.882 left font ",10"
set xrange [0:1]
set yrange [0:1]
plot NaN notitle
unset multiplot
