# Draws the benchmark's summary as an SVG chart: time per byte of input over
# tr's, a panel per direction (rows) and shape of text (columns), the ways of
# calling side by side, one bar for the floor and one per kernel.
#
#   gnuplot -c bench/chart.gp DATA OUT.svg "floor KERNEL..." "SHAPE|SHAPE|..." SUBTITLE
#
# bench/report.py --chart runs it. DATA (report.py --print chart-data)
# holds, per direction (encode first) and shape, a block for index:
# one line per way of calling, its name, then the floor's value and each
# kernel's; blocks are separated by two blank lines. NaN marks a failed row.

data = ARG1
out = ARG2
series = ARG3
subtitle = ARG5
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

colour(i) = word("#9e9e9e #4e79a7 #f28e2b #59a14f #b07aa1 #76b7b2", i)
label(s) = s eq "floor" ? "floor (block copy; memcpy)" : s

set terminal svg size 320 * nshapes + 80, 760 dynamic enhanced font "sans,11" background "white"
set output out
set multiplot layout 2, nshapes margins 0.05, 0.98, 0.06, 0.82 spacing 0.06, 0.12 \
    title "qelcode: time per byte of input over tr's (lower is faster; the dashed line is tr)\n{/*0.8 " . subtitle . "}"

set style data histograms
set style histogram clustered gap 1
set style fill solid 0.9 border -1
set boxwidth 0.9
set grid ytics lc rgb "#dddddd"
set yrange [0:*]
unset key
set xtics nomirror scale 0 font ",10"
set ytics nomirror
set border 3

do for [d = 1:2] {
    do for [i = 1:nshapes] {
        set title (d == 1 ? "encode, " : "decode, ") . shapes[i] font ",11"
        plot for [c = 2:nseries + 1] data index ((d - 1) * nshapes + i - 1) using c:xtic(1) \
                 lc rgb colour(c - 1) title label(word(series, c - 1)), \
             1 with lines dt 2 lw 1.5 lc rgb "black" notitle
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
key_left = 0.5 - entry_width * (nseries + 1) / 2.0
do for [c = 1:nseries] {
    x = key_left + (c - 1) * entry_width
    set object c rectangle from screen x, 0.872 to screen x + 0.018, 0.892 fillcolor rgb colour(c) fillstyle solid 0.9 border lc rgb "black"
    set label c label(word(series, c)) at screen x + 0.024, 0.882 left font ",10"
}
x = key_left + nseries * entry_width
set arrow 1 from screen x, 0.882 to screen x + 0.018, 0.882 nohead dt 2 lw 1.5 lc rgb "black"
set label nseries + 1 "tr" at screen x + 0.024, 0.882 left font ",10"
set xrange [0:1]
set yrange [0:1]
plot NaN notitle
unset multiplot
