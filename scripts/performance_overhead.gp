# The cost each accounted entry point adds to the system allocator, by block size.
# Called by scripts/perf_report.sh with datafile and outfile set.
set terminal pngcairo size 1200,480 font ",10"
set output outfile
set multiplot layout 1,2 title "Overhead over malloc/free per allocate+release pair"
set logscale x 2
set xtics ("16 B" 16, "64 B" 64, "256 B" 256, "4 KiB" 4096, "64 KiB" 65536, "1 MiB" 1048576)
unset xlabel
set grid ytics
set key outside bottom center horizontal
set style data linespoints
set title "time (median ns over raw)"
set ylabel "ns"
plot datafile using 1:2 title "mmgr\\_malloc/free" lw 2 pt 7, \
     '' using 1:3 title "new/delete" lw 2 pt 5, \
     '' using 1:5 title "floor" lw 2 pt 9 dt 2, \
     '' using 1:4 title "builtin\\_malloc/free" lw 1 pt 1
set title "instructions (callgrind, over raw)"
set ylabel "instructions"
set yrange [0:*]
plot datafile using 1:6 title "mmgr\\_malloc/free" lw 2 pt 7, \
     '' using 1:7 title "new/delete" lw 2 pt 5, \
     '' using 1:8 title "floor" lw 2 pt 9 dt 2
unset multiplot
