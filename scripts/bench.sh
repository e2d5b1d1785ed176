#!/usr/bin/env bash
# Builds every benchmark (RelWithDebInfo, build/linux) and runs them, then prints one table:
# each figure, the ratio it is judged by where there is one, and the goal beside it. The
# figures depend on the machine and on what else it is doing: run it on a quiet machine.
#
#   bash scripts/bench.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh linux
cmake -S . -B build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/linux -j"$(nproc)" --target round_trip_bench log_record_bench contact_list_bench \
  go_online_bench console_list_bench message_burst_bench tls_round_trip_bench avatar_login_bench >/dev/null
bench=build/linux/tests/bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && "$root/$bench/round_trip_bench" 2000 >round_trip.txt 2>/dev/null)
(cd "$out" && "$root/$bench/log_record_bench" 20000 >log_record.txt 2>/dev/null)
(cd "$out" && "$root/$bench/contact_list_bench" 1000 10000 >contact_list.txt 2>/dev/null)
(cd "$out" && "$root/$bench/go_online_bench" 500 >go_online.txt 2>/dev/null)
(cd "$out" && "$root/$bench/console_list_bench" 5 >console_list.txt 2>/dev/null)
(cd "$out" && "$root/$bench/message_burst_bench" 5 100 200 >message_burst.txt 2>/dev/null)
(cd "$out" && "$root/$bench/tls_round_trip_bench" 20 100 >tls_round_trip.txt 2>/dev/null)
(cd "$out" && "$root/$bench/avatar_login_bench" 7 1000 >avatar_login.txt 2>/dev/null)
cat "$out"/*.txt
echo

# The number after a word on the line that holds a pattern.
figure() {  # file, line pattern, word before the number
  grep -E "$2" "$out/$1" | head -n 1 | sed -E "s/.*$3 +([0-9.]+).*/\1/"
}
rt_plain=$(figure round_trip.txt "no log" median)
rt_log=$(figure round_trip.txt "with log" median)
record=$(figure log_record.txt "short" median)
list_short=$(figure contact_list.txt "^contact list, +1000 entries" apply)
list_long=$(figure contact_list.txt "^contact list, +10000 entries" apply)
online_median=$(grep -E "rounds" "$out/go_online.txt" | head -n 1 | sed -E 's/.*median +([0-9.]+).*/\1/')
online_p99=$(grep -E "rounds" "$out/go_online.txt" | head -n 1 | sed -E 's/.*p99 +([0-9.]+).*/\1/')
change_median=$(figure go_online.txt "away/online" median)
change_packets=$(figure go_online.txt "status change while online" changes:)
change_queries=$(grep -E "status change while online" "$out/go_online.txt" | sed -E 's/.* and ([0-9.]+) address.*/\1/')
comeback_median=$(figure go_online.txt "back online after a drop" median)
message_single=$(figure message_burst.txt "^one message" median)
burst_median=$(figure message_burst.txt "^burst" median)
burst_each=$(grep -E "^burst" "$out/message_burst.txt" | head -n 1 | sed -E 's/.* ([0-9.]+) ms each.*/\1/')
burst_dropped=$(figure message_burst.txt "dropped" "dropped:")
console_short=$(figure console_list.txt "console list, 1000 entries" message)
console_long=$(figure console_list.txt "console list, 10000 entries" message)
tls_clear=$(figure tls_round_trip.txt "^round trip, in clear" median)
tls_inside=$(figure tls_round_trip.txt "^round trip, inside TLS" median)
tls_online_clear=$(figure tls_round_trip.txt "^going online, in clear" median)
tls_online=$(figure tls_round_trip.txt "^going online, inside TLS" median)
pictures_off=$(figure avatar_login.txt "pictures off" median)
pictures_on=$(figure avatar_login.txt "pictures on" median)
pictures_all=$(figure avatar_login.txt "every picture announced" median)
pictures_again=$(figure avatar_login.txt "second log-in fetched" fetched)

row() { printf '%-44s %14s   %-22s\n' "$1" "$2" "$3"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row "measure" "figure" "goal"
row "round trip without the log (median)" "$rt_plain us" ""
row "round trip with the log (median)" "$rt_log us" ""
row "  ratio with / without the log" "$(ratio "$rt_log" "$rt_plain")" "at most 1.5"
row "one log record (median)" "$record us" "at most 5 us"
row "contact list of 1,000 entries" "$list_short ms" "under 50 ms"
row "contact list of 10,000 entries" "$list_long ms" "under 500 ms"
row "  ratio 10,000 / 1,000" "$(ratio "$list_long" "$list_short")" "below 12"
row "console: list of 1,000, packet to message" "$console_short ms" ""
row "console: list of 10,000, packet to message" "$console_long ms" "under 300 ms"
row "  ratio 10,000 / 1,000" "$(ratio "$console_long" "$console_short")" "below 12"
row "going online (median)" "$online_median ms" "under 1 ms"
row "going online (p99)" "$online_p99 ms" "reported"
row "status change while online (median)" "$change_median ms" "under 0.2 ms"
row "  packets / address queries per change" "$change_packets / $change_queries" "1 / 0"
row "back online after a drop, beyond back-off" "$comeback_median ms" "under 50 ms"
row "one message to its ack (median)" "$message_single ms" "reported"
row "100 messages at once, to the last ack" "$burst_median ms" "reported"
row "  per message in the burst" "$burst_each ms" "reported"
row "  ratio per message / one alone" "$(ratio "$burst_each" "$message_single")" "reported"
row "  packets the server dropped" "$burst_dropped" "0"
row "message round trip in clear (median)" "$tls_clear us" ""
row "message round trip inside TLS (median)" "$tls_inside us" ""
row "  ratio inside TLS / in clear" "$(ratio "$tls_inside" "$tls_clear")" "at most 1.3"
row "going online in clear, same runs (median)" "$tls_online_clear us" ""
row "going online inside TLS (median)" "$tls_online us" "reported"
row "1,000 online contacts, list with pictures off" "$pictures_off ms" ""
row "1,000 online contacts, list with pictures on" "$pictures_on ms" ""
row "  ratio on / off" "$(ratio "$pictures_on" "$pictures_off")" "under 1.2"
row "  every picture announced (cold cache)" "$pictures_all ms" "reported"
row "  pictures a second log-in fetches" "$pictures_again" "0"
