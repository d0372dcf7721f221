# plot.gp -- draws a qelvo data file as a PNG picture
#
#   gnuplot -e "file='capture.dat'" plot.gp          writes capture.png
#   gnuplot -e "file='capture.dat'; out='x.png'" plot.gp
#
# The title names the channel, time base and gain from the file's header
# (read with sed; the micro sign there is ISO 8859-1 and is turned into
# UTF-8 for the picture). File names must not contain a single quote.

if (!exists("file")) file = "demo.dat"
if (!exists("out")) {
  out = (strlen(file) > 4 && file[strlen(file)-3:] eq ".dat") \
        ? file[1:strlen(file)-4] . ".png" : file . ".png"
}

# The text after "#  <label>" in the header, without the tab before it.
header(label) = system(sprintf( \
  "sed -n 's/^#  %s[:\t ]*//p' '%s' | head -n 1 | iconv -f ISO-8859-1 -t UTF-8", \
  label, file))

channel = header("Oscilloscope channel")
timeBase = header("Time base")
gain = header("Y-Gain")

if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
  set terminal pngcairo size 960,540 enhanced font "sans,11"
} else {
  set terminal png size 960,540
}
set output out
set encoding utf8

set title sprintf("qelvo capture: channel %s, %s, %s", channel, timeBase, gain) noenhanced
set xlabel "Time [s]"
set ylabel "Voltage [V]"
set format x "%g"
set grid
set autoscale xfix
set key off
plot file using 1:2 with lines linewidth 1.5 linecolor rgb "#1f5fa8"
