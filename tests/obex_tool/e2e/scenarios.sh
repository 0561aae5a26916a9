# The end-to-end scenarios of Zarnik, run by run-scenarios.sh on Linux, under Wine and over the USB
# path (zarnik_via_quenta).
# Exit statuses are the low byte of Zarnik's codes: -2 254, -3 253, -6 250, -7 249, -10 246,
# -11 245, -12 244, -13 243, -14 242.

# Scenarios that cannot run under Wine: a POSIX device path; a hung-up pseudo-terminal, which
# Wine does not report as a read error (a removed port on Windows does); and the kill test, which
# starts and kills the Linux build itself.
native_only=(device_path device_gone_ends_with_1 killed_mid_transfer_then_sent_again)
# Scenarios only for Quenta under Wine's kernel, where the test USB bus can pull the handset out.
quenta_only=(handset_pulled_out_while_sending)
# Scenarios that need the port to be the pseudo-terminal itself, not run over the emulated USB
# path (zarnik_via_quenta, where the terminal is the far end of the handset's cable): a device
# path, and the kill test. The quenta_only ones are not run there either: the pull-out they ask
# for is a command of Wine's test bus.
pty_only=(device_path killed_mid_transfer_then_sent_again)

CONNECT="CONNECT version=10 flags=00 max=8192 target=6b01cb31410611d49a770050da3f471f -> a0"
LISTING="GET final type=x-obex/folder-listing -> a0"

scenario_only_port() {
  sim
  zarnik
  expect_exit 0
  expect_requests <<END
$CONNECT
DISCONNECT -> a0
END
}

scenario_odd_argument_count() {
  sim
  local_file x.txt 10
  zarnik a/x.txt x.txt b/y.txt
  expect_exit 0
  expect_requests <<END
$CONNECT
SETPATH flags=00 name=a -> a0
$LISTING
PUT name=x.txt length=10 body=0 creator=61646472 -> 90
PUT final eob=10 -> a0
DISCONNECT -> a0
END
  expect_handset_file a/x.txt x.txt
  expect_stdout_has "Now begin send file:x.txt"
  expect_stdout_has "End send file:x.txt"
}

scenario_several_files_one_folder() {
  handset_file Pics/a.txt old
  sim
  local_file a.txt 300
  local_file b.txt 5
  local_file b2.txt 7
  zarnik Pics/a.txt a.txt Pics/b.txt b.txt Pics/b.txt b2.txt
  expect_exit 0
  # The listing is not refreshed by the sends: the second b.txt goes out without a delete.
  expect_requests <<END
$CONNECT
SETPATH flags=00 name=Pics -> a0
$LISTING
DELETE name=a.txt -> a0
PUT name=a.txt length=300 body=0 creator=61646472 -> 90
PUT final eob=300 -> a0
PUT name=b.txt length=5 body=0 creator=61646472 -> 90
PUT final eob=5 -> a0
PUT name=b.txt length=7 body=0 creator=61646472 -> 90
PUT final eob=7 -> a0
DISCONNECT -> a0
END
  expect_handset_file Pics/a.txt a.txt
  expect_handset_file Pics/b.txt b2.txt
}

scenario_folders_a_b_a() {
  sim
  local_file f1 4
  local_file g 4
  local_file f2 6
  zarnik A/f.txt f1 B/g.txt g A/f.txt f2
  expect_exit 0
  expect_requests <<END
$CONNECT
SETPATH flags=00 name=A -> a0
$LISTING
PUT name=f.txt length=4 body=0 creator=61646472 -> 90
PUT final eob=4 -> a0
DISCONNECT -> a0
$CONNECT
SETPATH flags=00 name=B -> a0
$LISTING
PUT name=g.txt length=4 body=0 creator=61646472 -> 90
PUT final eob=4 -> a0
DISCONNECT -> a0
$CONNECT
SETPATH flags=00 name=A -> a0
$LISTING
DELETE name=f.txt -> a0
PUT name=f.txt length=6 body=0 creator=61646472 -> 90
PUT final eob=6 -> a0
DISCONNECT -> a0
END
  [[ $(grep -c '^AT AT^SQWE=3' "$work/transcript") == 3 ]] || say_fail "three mode switches expected"
  expect_handset_file A/f.txt f2
}

scenario_separators_differ_bytewise() {
  sim
  local_file x 1
  local_file y 2
  zarnik a/b/x.txt x 'a\b\y.txt' y
  expect_exit 0
  expect_requests <<END
$CONNECT
SETPATH flags=00 name=a -> a0
SETPATH flags=00 name=b -> a0
$LISTING
PUT name=x.txt length=1 body=0 creator=61646472 -> 90
PUT final eob=1 -> a0
DISCONNECT -> a0
$CONNECT
SETPATH flags=00 name=a -> a0
SETPATH flags=00 name=b -> a0
$LISTING
PUT name=y.txt length=2 body=0 creator=61646472 -> 90
PUT final eob=2 -> a0
DISCONNECT -> a0
END
}

scenario_target_without_separator() {
  sim
  local_file x.txt 3
  zarnik x.txt x.txt
  # No walk and no listing; the handset refuses the empty Name.
  expect_exit 250
  expect_requests <<END
$CONNECT
PUT name= length=3 body=0 creator=61646472 -> c0
END
  expect_stdout_has "Send file error fileName:x.txt"
}

scenario_refused_delete_still_sends() {
  handset_file Pics/a.txt old
  sim --rule refuse:delete
  local_file a.txt 20
  zarnik Pics/a.txt a.txt
  expect_exit 0
  expect_requests <<END
$CONNECT
SETPATH flags=00 name=Pics -> a0
$LISTING
DELETE name=a.txt -> c3
ABORT -> a0
PUT name=a.txt length=20 body=0 creator=61646472 -> 90
PUT final eob=20 -> a0
DISCONNECT -> a0
END
  expect_stdout_has "DeleteFile a.txt error"
  expect_log_has "DeleteFile:a.txt error!!Code:c3"
  expect_handset_file Pics/a.txt a.txt
}

scenario_listing_elements_only() {
  handset_file Pics/a.txt old
  sim --listing-style bare
  local_file a.txt 2
  zarnik Pics/a.txt a.txt
  expect_exit 0
  expect_request "DELETE name=a.txt -> a0"
}

scenario_listing_prolog_without_start_tag() {
  handset_file Pics/a.txt old
  sim --listing-style no-start-tag
  local_file a.txt 2
  zarnik Pics/a.txt a.txt
  expect_exit 0
  expect_request "DELETE name=a.txt -> a0"
}

scenario_listing_with_folders() {
  handset_file Pics/a.txt old
  mkdir -p "$work/handset/Pics/sub" "$work/handset/Pics/zz"
  sim
  local_file b.txt 2
  zarnik Pics/b.txt b.txt
  expect_exit 0
  expect_log_has "FileInfoList add object FileName:a.txt"
  expect_log_lacks "FileInfoList add object FileName:sub"
  expect_log_lacks "FileInfoList add object FileName:zz"
}

scenario_listing_over_several_packets() {
  for i in 1 2 3 4 5; do handset_file "Pics/z$i.txt" "$i"; done
  sim --listing-chunk 64
  local_file z5.txt 9
  zarnik Pics/z5.txt z5.txt
  expect_exit 0
  expect_request "GET final -> 90"
  expect_request "DELETE name=z5.txt -> a0"
  expect_handset_file Pics/z5.txt z5.txt
}

scenario_listing_continuation_refused() {
  for i in 1 2 3 4 5; do handset_file "Pics/z$i.txt" "$i"; done
  sim --listing-chunk 64 --rule refuse:get#2
  local_file z5.txt 9
  zarnik Pics/z5.txt z5.txt
  # The failed listing lists nothing; the send goes on, and the handset replaces the file itself.
  expect_exit 0
  expect_request "GET final -> c3"
  ! grep -q '^DELETE' "$work/transcript" || say_fail "nothing was listed, so nothing may be deleted"
  expect_handset_file Pics/z5.txt z5.txt
}

scenario_listing_longer_than_2048_bytes() {
  for i in $(seq 10 45); do handset_file "Pics/a_rather_long_file_name_to_fill_the_listing_$i.txt" "$i"; done
  sim
  local_file last.txt 9
  zarnik Pics/a_rather_long_file_name_to_fill_the_listing_45.txt last.txt
  expect_exit 0
  expect_request "DELETE name=a_rather_long_file_name_to_fill_the_listing_45.txt -> a0"
}

scenario_worked_example_byte_for_byte() {
  handset_file Pictures/a.jpg old
  sim
  printf 'hello' >"$work/pc/a.jpg"
  zarnik Pictures/a.jpg a.jpg
  expect_exit 0
  expect_raw_transcript "$(dirname "${BASH_SOURCE[0]}")/worked_example.raw"
}

scenario_connect_refused() {
  sim --rule refuse:connect
  zarnik
  expect_exit 253
  expect_stdout_has "InitObex fail!!!"
  expect_log_has "IrObexConnectReq error!!"
  # The run stops at the failure: the port is left open to the end of the process.
  expect_port_log_received_ends "c3  0  3 "
  expect_port_log_lacks "ComportClose"
}

scenario_silent_after_first_command() {
  sim --rule silent:at
  zarnik
  expect_exit 254
  expect_at_lines <<END
AT AT+CGMM -> (no answer)
END
  ((elapsed_ms >= 2900)) || say_fail "gave up after $elapsed_ms ms"
  expect_log_has "IrObexOpenReq error!!"
}

scenario_first_put_refused() {
  sim --rule refuse:put#1
  local_file x.txt 3
  zarnik Pics/x.txt x.txt
  expect_exit 250
  expect_stdout_has "SendFile IrObexPutReq error!!! Code:c3"
  expect_stdout_has "Send file error fileName:Pics/x.txt"
  expect_port_log_last "ObexRecv exit section data_size:0 size:3 Data:c3  0  3 "
  expect_port_log_lacks "ComportClose"
}

scenario_later_put_refused() {
  sim --max-packet 0x400 --rule refuse:put#3=d0
  local_file x.txt 3000
  zarnik Pics/x.txt x.txt
  expect_exit 249
  # Carriage returns are taken out of the output before it is compared.
  expect_stdout_has "000033067SendFile IrObexPutReq send data error!!!"
  expect_request "PUT body=1015 -> d0"
  expect_port_log_last "ObexRecv exit section data_size:0 size:3 Data:d0  0  3 "
  expect_port_log_lacks "ComportClose"
}

scenario_device_gone_ends_with_1() {
  sim --rule hangup:put#2
  local_file x.txt 3000
  zarnik Pics/x.txt x.txt
  expect_exit 1
  # The read waiting for the next byte fails and stores nothing, then the event wait fails. The
  # listener's lines are the last ones; the sending thread's own "ObexSend  OK" may fall among
  # them where the write's completion and the device's going are separate events (over USB).
  local expected=$'On serial_listener error!! \nOn enter copy data!! size:0\nOn exit copy data!! size:0 data_size:0\nOn WaitCommEvent error!! '
  local last
  last=$(grep -vx 'ObexSend  OK ' "$work/pc/ObexCom.log" | tail -n 4)
  [[ $last == "$expected" ]] || say_fail "port log ends with: $(cut -c1-60 <<<"$last")"
}

scenario_handset_pulled_out_while_sending() {
  sim
  local_file x.txt 3000
  # The file goes out in a PUT of 3006 bytes, carried in two bulk transfers; about 2180 bytes
  # have passed when the second starts, and the handset is gone then.
  bus_commands=("fault pull-out out 2048")
  zarnik Pics/x.txt x.txt
  expect_exit 1
  expect_request "PUT name=x.txt length=3000 body=0 creator=61646472 -> 90"
  ! grep -q '^PUT final' "$work/transcript" || say_fail "the handset got the whole file"
  expect_no_handset_file Pics/x.txt
  # The write in progress fails, and so does the listener's wait.
  expect_port_log_has "ObexSend  error "
  expect_port_log_last "On WaitCommEvent error!! "
}

scenario_reconnect_retries_once() {
  sim --rule refuse:connect#2
  local_file x 1
  local_file y 1
  zarnik A/x x B/y y
  expect_exit 0
  expect_request "CONNECT version=10 flags=00 max=8192 target=6b01cb31410611d49a770050da3f471f -> c3"
  ((elapsed_ms >= 1000)) || say_fail "no pause before the retry"
  expect_handset_file B/y y
}

scenario_reconnect_fails() {
  sim --rule refuse:connect#2 --rule refuse:connect#3
  local_file x 1
  local_file y 1
  zarnik A/x x B/y y
  expect_exit 253
  expect_stdout_has "InitObex fail!!!"
  expect_no_handset_file B/y
}

scenario_two_instances_on_two_ports() {
  # A second handset on COM6 with its own Zarnik, running at the same time as the first.
  mkdir -p "$work/handset2" "$work/pc2"
  "$sim_exe" --root "$work/handset2" >"$work/sim2.out" 2>/dev/null &
  local sim2=$!
  await_line "$sim2" "$work/sim2.out" . 30 || say_fail "the second simulator did not start"
  sim
  local_file a 3000
  head -c 3000 /dev/urandom >"$work/pc2/b"
  run_zarnik_in "$work/pc2" 6 "$(head -n 1 "$work/sim2.out")" 6 X/b b >"$work/stdout2" 2>&1 &
  local second=$!
  zarnik X/a a
  wait "$second"
  local second_status=$?
  kill -TERM "$sim2"
  wait "$sim2"
  expect_exit 0
  ((second_status == 0)) || say_fail "the second instance ended with $second_status"
  expect_handset_file X/a a
  cmp -s "$work/handset2/X/b" "$work/pc2/b" || say_fail "the second handset did not get its file"
}

scenario_port_with_two_digits() {
  # COM1 to COM9 open by their bare name on Windows; COM10 and above only as \\.\COMn.
  port=12
  sim
  local_file x 4
  zarnik P/x x
  expect_exit 0
  expect_handset_file P/x x
  expect_port_log_has "SetComport COM12"
}

scenario_usage() {
  zarnik_bare
  expect_exit 246
  expect_stdout_has "usage: Zarnik <port>"
  zarnik_bare COMx a b
  expect_exit 246
}

scenario_negative_port_number() {
  # A number, so no usage text: the port COM-1 cannot be opened.
  zarnik_bare -1
  expect_exit 254
  expect_stdout_has "InitObex fail!!!"
  expect_log_has "IrObexOpenReq error!!"
}

scenario_unreadable_local_file() {
  sim
  zarnik Pics/x.txt missing.txt
  expect_exit 245
  expect_stdout_has "Cannot read local file:missing.txt"
  expect_requests <<END
$CONNECT
DISCONNECT -> a0
END
  # A path that opens but does not read is no file to send.
  handset_file Pics/x.txt old
  mkdir "$work/pc/folder"
  sim
  zarnik Pics/x.txt folder
  expect_exit 245
  expect_stdout_has "Cannot read local file:folder"
  [[ $(cat "$work/handset/Pics/x.txt") == old ]] || say_fail "the handset's file was replaced"
}

scenario_target_of_the_longest_length_is_sent() {
  # 1023 bytes: five folders of 199 characters and a name of 23.
  local folder target
  folder=$(printf 'n%.0s' $(seq 199))
  target="$folder/$folder/$folder/$folder/$folder/$(printf 'x%.0s' $(seq 23))"
  ((${#target} == 1023)) || say_fail "the target has ${#target} bytes"
  sim
  local_file x 3
  zarnik "$target" x
  expect_exit 0
  expect_handset_file "$target" x
  sim
  zarnik "${target}y" x
  expect_exit 243
}

scenario_target_too_long() {
  sim
  local_file x 1
  zarnik "Pics/$(printf 'n%.0s' $(seq 1100))" x
  expect_exit 243
  [[ ! -s $work/transcript ]] || say_fail "nothing may be sent"
  # As the last target without a local file it is ignored like any other.
  sim
  zarnik "Pics/$(printf 'n%.0s' $(seq 1100))"
  expect_exit 0
}

scenario_local_file_of_4_gib_is_refused() {
  sim
  local_file small.txt 3
  # Sparse: nothing of the 4 GiB is written. Its size does not fit the PUT's 32-bit Length.
  truncate -s 4G "$work/pc/huge.bin"
  zarnik Pics/small.txt small.txt Pics/huge.bin huge.bin
  expect_exit 242
  expect_stdout_has "Local file too large to send (4 GiB or more):huge.bin"
  expect_log_has "Local file too large to send (4 GiB or more):huge.bin"
  [[ ! -s $work/transcript ]] || say_fail "nothing may be sent, not even the file before it"
}

scenario_program_log_cannot_be_created() {
  mkdir "$work/pc/Zarnik.log"
  zarnik_bare 5
  expect_exit 244
  expect_stdout_has "Cannot create the program log Zarnik.log"
}

scenario_device_path() {
  sim
  local_file x 4
  zarnik_bare "$slave" P/x x
  expect_exit 0
  expect_handset_file P/x x
}

# --- killed in the middle of a transfer

# SIGKILL at random instants while a file goes out; after each kill the next run against the same
# simulated handset sends the file whole: the handset took nothing half way as done and the port
# opens again. KIT_KILL_ROUNDS (5) and KIT_KILL_SEED choose the kills; the seed is printed.
scenario_killed_mid_transfer_then_sent_again() {
  sim --max-packet 0x2000
  local_file big.bin 400000
  local seed=${KIT_KILL_SEED:-$((RANDOM * 32768 + RANDOM))} rounds=${KIT_KILL_ROUNDS:-5}
  local round delay pid started span=0
  RANDOM=$seed
  for ((round = 0; round < rounds; ++round)); do
    started=$(date +%s%N)
    (cd "$work/pc" && exec env "COM$port=$slave" "$linux_build/obex_tool/Zarnik" "$port" P/big.bin big.bin) \
      >"$work/stdout" 2>&1 &
    pid=$!
    if ((round == 0)); then  # the first run is left whole: it measures the span of a run
      wait "$pid"
      exit_status=$?
      span=$((($(date +%s%N) - started) / 1000000))
      expect_exit 0
      expect_handset_file P/big.bin big.bin
      rm -f "$work/handset/P/big.bin"
      continue
    fi
    delay=$(((RANDOM * 32768 + RANDOM) % (span + 1)))
    sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    sleep 1  # someone starting it again
    (cd "$work/pc" && env "COM$port=$slave" "$linux_build/obex_tool/Zarnik" "$port" P/big.bin big.bin) \
      >"$work/stdout" 2>&1
    exit_status=$?
    if [[ $exit_status != 0 ]]; then
      say_fail "seed $seed, killed after $delay ms: the next run ended with $exit_status: $(tail -c 200 "$work/stdout")"
      return
    fi
    expect_handset_file P/big.bin big.bin
    rm -f "$work/handset/P/big.bin"
  done
  echo "    killed $((rounds - 1)) runs of $span ms (seed $seed); each next run sent the file whole"
}
