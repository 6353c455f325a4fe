# report.awk - the benchmark's report from its raw figures: the median rate
# of every mode and server over the rounds, the ratios to the ceiling and to
# nginx, the CPU per operation, the servers' memory and the latency
# scenarios, each with its verdict. Prints the tables in the layout of
# bench/RESULTS.md, and writes into the folder out results.txt (one line per
# mode, server memory and scenario) and ratios.dat for the chart.
#   awk -v out=DIR -v clktck=TICKS -f bench/report.awk MODES runs.txt memory.txt scenarios.txt
# MODES: the modes that ran, as in bench/modes.txt. Exits 1 when a target
# is missed.

# kv: the NAME=VALUE fields of the current line into f, numbers as numbers
# (a text would compare as text).
function kv(   i, p, v) {
  split("", f)
  for (i = 1; i <= NF; i++)
    if ((p = index($i, "=")) > 0) {
      v = substr($i, p + 1)
      f[substr($i, 1, p - 1)] = v ~ /^-?[0-9]+(\.[0-9]*)?$/ ? v + 0 : v
    }
}

# med: the median rate of mode m against server s over the rounds.
function med(m, s,   v, n, i, j, x) {
  if (!((m, s) in nr))
    return 0 # reading nr[m, s] would create it
  n = nr[m, s]
  for (i = 1; i <= n; i++) {
    x = rate[m, s, i]
    for (j = i - 1; j > 0 && v[j] > x; j--)
      v[j + 1] = v[j]
    v[j + 1] = x
  }
  return n == 0 ? 0 : n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}

# cpuus: CPU microseconds per operation (per MiB in the MiB/s modes) that
# server s spent in mode m over the rounds.
function cpuus(m, s) {
  return ops[m, s] > 0 ? ticks[m, s] * 1e6 / clktck / ops[m, s] : 0
}

# cell: value v formatted by fmt, or "-" where server s was not compared.
function cell(m, s, fmt, v) {
  return (m, s) in nr ? sprintf(fmt, v) : "-"
}

# table: a table in the layout of RESULTS.md: title (with a blank line
# before it unless it is the first), head, alignment, then rows[1..n];
# nothing when n is 0.
function table(title, head, align, rows, n,   i) {
  if (n == 0)
    return
  printf "%s%s\n\n%s\n%s\n", tables++ ? "\n" : "", title, head, align
  for (i = 1; i <= n; i++)
    print rows[i]
}

BEGIN {
  res = out "/results.txt"
  dat = out "/ratios.dat"
  # The scenarios' targets: failed requests at most, median and worst
  # latency in ms at most (- for none).
  split("hold-silent 0 100 1500 hold-stalled 0 500 2000 quad-share 0 - 1000", t)
  for (i = 1; i in t; i += 4) {
    tfailed[t[i]] = t[i + 1] + 0
    tmedian[t[i]] = t[i + 2]
    tworst[t[i]] = t[i + 3] + 0
  }
}

FILENAME == ARGV[1] {
  if ($0 !~ /^#/ && NF == 10) {
    mode[++nmodes] = $1
    subject[$1] = $5
    ceiling[$1] = $7
    target[$1] = $8
    ntarget[$1] = $9
    unit[$1] = $10
  }
  next
}

/^round=/ {
  kv()
  m = f["mode"]
  s = f["server"]
  rate[m, s, ++nr[m, s]] = f["rate"]
  ops[m, s] += f["ops"]
  ticks[m, s] += f["cpu_ticks"]
  errors[m, s] += f["errors"]
  lost[m, s] += f["lost"]
  next
}

/^memory / {
  kv()
  quad = f["server"] == "quadserv"
  ok = f["rest_kb"] <= 2048 && f["after_kb"] - f["warm_kb"] <= 8 && f["zombies"] == 0
  memv[++nmem] = !quad ? "info" : ok ? "ok" : "BELOW"
  missed += quad && !ok
  meml[nmem] = $0
  memt[nmem] = sprintf("| %s | %s | %s | %s | %s | %s | %s | %s |", f["server"], f["rest_kb"],
                       f["warm_kb"], f["after_kb"], f["children"], f["children_kb"],
                       f["zombies"], memv[nmem])
  next
}

/scenario=/ {
  kv()
  sc = f["scenario"]
  ok = "requests" in f && f["failed"] <= tfailed[sc] && f["worst_ms"] <= tworst[sc] &&
       (tmedian[sc] == "-" || f["median_ms"] <= tmedian[sc] + 0)
  v = f["server"] == "nginx" ? "info" : ok ? "ok" : "BELOW"
  missed += v == "BELOW"
  goal = f["server"] == "nginx" ? "-" : sprintf("%d failed, %sworst %d", tfailed[sc],
         tmedian[sc] == "-" ? "" : "median " tmedian[sc] ", ", tworst[sc])
  rest = $0
  sub(/^server=[^ ]* scenario=[^ ]* */, "", rest)
  scenl[++nscen] = sprintf("loadgen scenario=%s server=%s %s target_failed=%s target_median_ms=%s " \
                           "target_worst_ms=%s verdict=%s", sc, f["server"], rest, tfailed[sc],
                           tmedian[sc], tworst[sc], v)
  held = "held" in f ? sprintf(" (%d idle held, %d taken)", f["held"], f["accepted"]) : ""
  scent[nscen] = sprintf("| %s | %s | %s | %s | %s | %s | %s | %s%s |", sc, f["server"], f["requests"],
                         f["failed"], "median_ms" in f ? sprintf("%.1f", f["median_ms"]) : "-",
                         "worst_ms" in f ? sprintf("%.1f", f["worst_ms"]) : "-", goal, v, held)
}

END {
  printf "" >res
  print "# mode ratio target ratio-to-nginx nginx-target" >dat
  for (i = 1; i <= nmodes; i++) {
    m = mode[i]
    s = subject[m]
    sub_ = med(m, s)
    fk = med(m, "fork_ref")
    ip = med(m, "inproc_ref")
    ng = med(m, "nginx")
    hi = fk > ip ? fk : ip
    lo = fk > ip ? ip : fk
    ceil = ceiling[m] == "better" ? hi : ceiling[m] == "fork_ref" ? fk : ip
    ratio = ceil > 0 ? sub_ / ceil : 0
    vsng = ng > 0 ? sub_ / ng : 0
    hasng = (m, "nginx") in nr
    # The two references apart by more than a fifth: the machine, not the
    # server, decided this run.
    noisy = ceiling[m] == "better" && lo < 0.8 * hi
    err = errors[m, s]
    below = ratio < target[m] || (hasng && ntarget[m] != "-" && vsng < ntarget[m])
    v = err > 0 ? "BELOW" : noisy ? "noisy" : below ? "BELOW" : "ok"
    missed += v == "BELOW"
    note = (err > 0 ? " (errors)" : "") (lost[m, s] > 0 ? " (lost)" : "")
    modet[i] = sprintf("| %s | %s | %.1f | %s | %s | %s | %s | %.3f | %.2f | %s | %s | %s%s |", m, s, sub_,
           cell(m, "fork_ref", "%.1f", fk), cell(m, "inproc_ref", "%.1f", ip), cell(m, "nginx", "%.1f", ng),
           unit[m], ratio, target[m], cell(m, "nginx", "%.3f", vsng),
           hasng && ntarget[m] != "-" ? ntarget[m] : "-", v, note)
    cput[i] = sprintf("| %s | %s | %s | %s | %s |", m, cell(m, s, "%.2f", cpuus(m, s)),
                      cell(m, "fork_ref", "%.2f", cpuus(m, "fork_ref")),
                      cell(m, "inproc_ref", "%.2f", cpuus(m, "inproc_ref")),
                      cell(m, "nginx", "%.2f", cpuus(m, "nginx")))
    line = sprintf("loadgen mode=%s subject=%s median=%.1f", m, s, sub_)
    if ((m, "fork_ref") in nr)
      line = line sprintf(" fork_ref=%.1f", fk)
    line = line sprintf(" inproc_ref=%.1f", ip)
    if (hasng)
      line = line sprintf(" nginx=%.1f nginx_ratio=%.3f nginx_target=%s nginx_errors=%d", ng, vsng,
                          ntarget[m], errors[m, "nginx"])
    split(s " fork_ref inproc_ref nginx", srv, " ")
    for (j = 1; j <= 4; j++)
      if ((m, srv[j]) in nr)
        line = line sprintf(" %s_cpu_us=%.2f", j == 1 ? "subject" : srv[j], cpuus(m, srv[j]))
    ceilname = ceiling[m]
    sub(/_ref$/, "", ceilname)
    printf "%s unit=%s ceiling=%s ratio=%.3f target=%.2f errors=%d lost=%d rounds=%d verdict=%s\n", line,
           unit[m], ceilname, ratio, target[m], err, lost[m, s], nr[m, s], v >res
    printf "%s %.3f %.2f %.3f %s\n", m, ratio, target[m], hasng ? vsng : -1,
           hasng && ntarget[m] != "-" ? ntarget[m] : -1 >dat
  }
  table("Median rates over the rounds, and their ratios:",
        "| mode | subject | median | fork ref | inproc ref | nginx | unit | ratio | target | to nginx | target | verdict |",
        "|---|---|---:|---:|---:|---:|---|---:|---:|---:|---:|---|", modet, nmodes)
  table("CPU of the server per operation, microseconds (per MiB in the MiB/s modes), over all\n" \
        "rounds, children included:", "| mode | subject | fork ref | inproc ref | nginx |",
        "|---|---:|---:|---:|---:|", cput, nmodes)
  table("Memory (VmRSS, KiB; quadserv's limits: 2048 at rest, 8 more after the load than after\n" \
        "the warm-up, no zombies):",
        "| server | at rest | after warm-up | after load | children | children KiB | zombies | verdict |",
        "|---|---:|---:|---:|---:|---:|---:|---|", memt, nmem)
  table("Latency of ordinary clients while hostile ones hold connections (ms; one run each):",
        "| scenario | server | requests | failed | median | worst | target | verdict |",
        "|---|---|---:|---:|---:|---:|---|---|", scent, nscen)
  for (i = 1; i <= nmem; i++)
    print "loadgen " meml[i] " verdict=" memv[i] >res
  for (i = 1; i <= nscen; i++)
    print scenl[i] >res
  close(res)
  close(dat)
  exit missed > 0
}
