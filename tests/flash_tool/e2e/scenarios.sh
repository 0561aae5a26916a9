# The end-to-end scenarios of Brovald, run by run-scenarios.sh on Linux and under Wine.
# Exit statuses are the low byte of Brovald's: -1 255, -10 246, -12 244, -17 239, -25 231,
# -50 206, -53 203.

# The console's first lines: every run that mounts the image, and a target whose folders are
# made and that is not there yet.
MOUNTED='Info:Create Mapping file OK!!
Info: read Flash file OK!! 
Info: File system init OK!! '
NEW_TARGET='Info: File system FFS_SetPath OK!! 
Info: File system checkFileExist OK!! FFS : ok'

# The scenarios the Windows build runs under Wine, each against the Linux build.
wine_set=(banner_with_one_argument log_and_image_only creates_folder_and_file same_path_twice_second_replaces
  twenty_thousand_bytes_in_three_segments non_ascii_names names_refused_by_the_file_system
  read_only_imei_is_kept missing_image erased_image_does_not_mount interrupted_table_move
  pc_file_unreadable target_without_component_is_refused)

# --- the command line

scenario_banner_with_one_argument() {
  brovald run.log
  expect_exit 255
  expect_stdout <<'END'
Info: program version : 1_0_0
Info: program author : the handset kit team
END
  expect_no_file run.log
}

scenario_banner_with_no_argument() {
  brovald
  expect_exit 255
  expect_stdout_has "Info: program version : 1_0_0"
}

scenario_log_cannot_be_created() {
  mkimage
  brovald no/such/folder/run.log image.s3 /a.txt a.txt
  expect_exit 206
  expect_stdout <<'END'
Error: cannot create the log file no/such/folder/run.log
END
  expect_image_unchanged
}

scenario_log_and_image_only() {
  fixture tree
  inspect list >"$work/tree.before"
  brovald run.log image.s3
  expect_exit 0
  expect_stdout <<END
$MOUNTED
Info: Brovald write OK!! 
END
  expect_log run.log <<'END'
Info: Flash file name : image.s3
Info:Create Mapping file OK!!
Info: file_read_image enter 
Info: begin read flash file image.s3
Info: read Flash file OK!! 
Info: File system init OK!! 
Info: Brovald write OK!! 
END
  expect_written_back
  cmp -s <(inspect list) "$work/tree.before" || say_fail "the tree changed"
  cmp -s <(tr -d '\r' <"$work/before.s3") <(tr -d '\r' <"$work/pc/image.s3") || say_fail "the image's bytes changed"
}

scenario_creates_folder_and_file() {
  mkimage
  pc_text f.txt "hello"
  brovald run.log image.s3 /d/f.txt f.txt
  expect_exit 0
  expect_stdout <<END
$MOUNTED
$NEW_TARGET
Info : Write file: /d/f.txt!! 
Info : Write file: /d/f.txt!! OK
Info: Brovald write OK!! 
END
  expect_log_has "Info: Files name : /d/f.txt index : 3"
  expect_log_has "Info: Files name : f.txt index : 4"
  expect_list <<'END'
d rw 0xF2        0  /
f ro 0xE1     4096  /.journal
d rw 0xF2        0  /d
f rw 0xF1        5  /d/f.txt  (1 segment)
END
  expect_ffs_file /d/f.txt f.txt
  expect_written_back
  expect_consistent
}

scenario_odd_entry_count_only_makes_folders() {
  mkimage
  pc_text x.txt "x"
  brovald run.log image.s3 /a/x.txt x.txt /b/c/y.txt
  expect_exit 0
  expect_list <<'END'
d rw 0xF2        0  /
f ro 0xE1     4096  /.journal
d rw 0xF2        0  /a
f rw 0xF1        1  /a/x.txt  (1 segment)
d rw 0xF2        0  /b
d rw 0xF2        0  /b/c
END
  expect_consistent
}

scenario_same_path_twice_second_replaces() {
  mkimage
  pc_text one.txt "first version"
  pc_text two.txt "second"
  brovald run.log image.s3 /d/f.txt one.txt /d/f.txt two.txt
  expect_exit 0
  expect_ffs_file /d/f.txt two.txt
  expect_log_has "Info : Remove File! /d/f.txt"
  expect_stdout_lacks "Remove File"
  [[ $(inspect list | grep -c ' /d/f.txt') == 1 ]] || say_fail "not exactly one /d/f.txt"
  expect_consistent
}

scenario_slashes_do_not_matter() {
  mkimage
  pc_text one.txt "one"
  pc_text two.txt "two"
  brovald run.log image.s3 //a//b.txt one.txt a/b.txt two.txt
  expect_exit 0
  expect_log_has "Info : Remove File! a/b.txt"
  expect_list <<'END'
d rw 0xF2        0  /
f ro 0xE1     4096  /.journal
d rw 0xF2        0  /a
f rw 0xF1        3  /a/b.txt  (1 segment)
END
  expect_ffs_file /a/b.txt two.txt
}

scenario_target_without_component_is_refused() {
  mkimage
  pc_text f.txt "f"
  brovald run.log image.s3 /ok.txt f.txt / f.txt
  expect_exit 244
  expect_stdout <<'END'
Error: FFS path '/' names no folder or file!! FFS : bad filename
END
  expect_image_unchanged
  brovald run.log image.s3 "" f.txt
  expect_exit 244
  expect_stdout_has "Error: FFS path '' names no folder or file!! FFS : bad filename"
  expect_image_unchanged
}

# --- images that cannot be used

scenario_missing_image() {
  brovald run.log nothere.s3 /a.txt a.txt
  expect_exit 255
  expect_stdout <<'END'
Info:Create Mapping file OK!!
END
  expect_log_has "Error: File 'nothere.s3' not found"
  expect_no_file nothere.s3
}

scenario_erased_image_does_not_mount() {
  fixture erased
  pc_text f.txt "f"
  brovald run.log image.s3 /f.txt f.txt
  expect_exit 255
  expect_stdout_has "Error: File system init error!! FFS : ffs not formatted"
  expect_stdout_lacks "Write file"
  expect_image_unchanged
}

# --- writing files

scenario_replaces_existing_file() {
  fixture tree
  pc_text new.txt "new text"
  brovald run.log image.s3 /docs/a.txt new.txt
  expect_exit 0
  expect_log_has "Info : Remove File! /docs/a.txt"
  expect_ffs_file /docs/a.txt new.txt
  [[ $(inspect print /to-a) == "new text" ]] || say_fail "the link does not reach the new file"
  [[ $(inspect print /docs/notes.txt) == "read-only notes" ]] || say_fail "a neighbour changed"
  expect_consistent
}

scenario_twenty_thousand_bytes_in_three_segments() {
  mkimage
  pc_file big.bin 20000
  brovald run.log image.s3 /big.bin big.bin
  expect_exit 0
  inspect list | grep -qxF "f rw 0xF1    20000  /big.bin  (3 segments)" || say_fail "not 3 segments: $(inspect list)"
  expect_ffs_file /big.bin big.bin
  expect_consistent
}

scenario_empty_pc_file_is_refused() {
  mkimage
  : >"$work/pc/empty.txt"
  brovald run.log image.s3 /e/empty.txt empty.txt
  expect_exit 239
  expect_stdout <<END
$MOUNTED
$NEW_TARGET
Info : Write file: /e/empty.txt!! 
Error: File system ffs_write error!! FFS : invalid argument
END
  expect_image_unchanged
}

scenario_non_ascii_names() {
  mkimage
  pc_text f.txt "grüße"
  brovald run.log image.s3 "/Bilder/été/ü.txt" f.txt "/Bilder/été/ü.txt" f.txt
  expect_exit 0
  expect_stdout_has "Info : Write file: /Bilder/été/ü.txt!! OK"
  expect_log_has "Info : Remove File! /Bilder/été/ü.txt"
  expect_list <<'END'
d rw 0xF2        0  /
f ro 0xE1     4096  /.journal
d rw 0xF2        0  /Bilder
d rw 0xF2        0  /Bilder/été
f rw 0xF1        7  /Bilder/été/ü.txt  (1 segment)
END
  expect_ffs_file "/Bilder/été/ü.txt" f.txt
  expect_consistent
}

scenario_names_refused_by_the_file_system() {
  mkimage
  pc_text f.txt "f"
  brovald run.log image.s3 /d/a:b.txt f.txt
  expect_exit 231
  expect_stdout <<END
$MOUNTED
$NEW_TARGET
Info : Write file: /d/a:b.txt!! 
Error: File system ffs_write error!! FFS : Bad file descriptor
END
  expect_image_unchanged
  brovald run.log image.s3 "/d/$(printf 'n%.0s' {1..41})" f.txt
  expect_exit 231
  expect_stdout_has "Error: File system ffs_write error!! FFS : Bad file descriptor"
  expect_image_unchanged
}

scenario_folder_name_refused() {
  mkimage
  pc_text f.txt "f"
  brovald run.log image.s3 "/bad|dir/f.txt" f.txt
  expect_exit 231
  expect_stdout <<END
$MOUNTED
Error: File system FFS_SetPath error!! FFS : bad filename
Error: File system checkFileExist error!! FFS : bad filename
Info : Write file: /bad|dir/f.txt!! 
Error: File system ffs_write error!! FFS : Bad file descriptor
END
  expect_image_unchanged
}

scenario_path_too_deep() {
  mkimage
  pc_text f.txt "f"
  brovald run.log image.s3 /1/2/3/4/5/6/7/f.txt f.txt
  expect_exit 231
  expect_stdout_has "Error: File system FFS_SetPath error!! FFS : path too deep"
  expect_image_unchanged
}

scenario_read_only_imei_is_kept() {
  fixture tree
  pc_text imei.txt "000000000000000"
  brovald run.log image.s3 /IMEI imei.txt
  expect_exit 231
  expect_stdout_has "Error: File system ffs_remove error!! FFS : access permission violation"
  expect_stdout_has "Error: File system ffs_write error!! FFS : Bad file descriptor"
  expect_image_unchanged
  brovald run.log image.s3 /.journal imei.txt
  expect_exit 231
  expect_image_unchanged
}

# A folder of the target's name is removed like a file: an empty one makes room for the file, a
# full one stays and the write fails.
scenario_folder_in_the_way() {
  fixture tree
  pc_text f.txt "f"
  brovald run.log image.s3 /docs/deep f.txt
  expect_exit 0
  expect_log_has "Info : Remove File! /docs/deep"
  expect_stdout_lacks "checkFileExist"
  expect_ffs_file /docs/deep f.txt
  expect_consistent
  brovald run.log image.s3 /docs f.txt
  expect_exit 231
  expect_stdout_has "Error: File system ffs_remove error!! FFS : directory not empty"
  expect_stdout_has "Error: File system ffs_write error!! FFS : Bad file descriptor"
  expect_image_unchanged
}

scenario_file_system_full_leaves_image_unchanged() {
  mkimage
  pc_file m1 1048576
  pc_file m2 1048576
  pc_file m3 1048576
  pc_file m4 1048576
  brovald run.log image.s3 /m1 m1 /m2 m2 /m3 m3 /m4 m4
  expect_exit 246
  expect_stdout_has "Info : Write file: /m3!! OK"
  expect_stdout_has "Error: File system ffs_write error!! FFS : out of data space"
  expect_image_unchanged
}

scenario_pc_file_unreadable() {
  mkimage
  mkdir "$work/pc/folder"
  brovald run.log image.s3 /d/f.txt missing.txt
  expect_exit 203
  expect_stdout_has "Error: PC file read error!! missing.txt"
  expect_stdout_lacks "Write file"
  expect_image_unchanged
  brovald run.log image.s3 /d/f.txt folder
  expect_exit 203
  expect_stdout_has "Error: PC file read error!! folder"
  expect_image_unchanged
}

scenario_pc_file_larger_than_the_image() {
  mkimage
  truncate -s 5M "$work/pc/huge.bin"
  brovald run.log image.s3 /huge.bin huge.bin
  expect_exit 246
  expect_stdout <<END
$MOUNTED
$NEW_TARGET
Info : Write file: /huge.bin!! 
Error: File system ffs_write error!! FFS : out of data space
END
  expect_image_unchanged
}

# Enough writes in one run that the data blocks fill with replaced files and the inode table
# with their deleted slots: data reclaim and inode reclaim both run before the run ends.
scenario_churn_runs_data_and_inode_reclaim() {
  mkimage
  pc_file p0 3000
  pc_file p1 3000
  local pairs=()
  for ((i = 0; i < 2100; ++i)); do
    pairs+=(/churn/f.bin "p$((i % 2))")
  done
  brovald run.log image.s3 "${pairs[@]}"
  expect_exit 0
  expect_ffs_file /churn/f.bin p1
  expect_consistent
  local table aged
  table=$(sed -n 's/.*inode table in block \([0-9]*\),.*/\1/p' "$work/check")
  aged=$(awk '$1 ~ /^[0-9]+$/ && $3 >= 2 { n++ } END { print n + 0 }' "$work/check")
  [[ $table != 0 ]] || say_fail "the inode table never moved: no inode reclaim"
  ((aged >= 10)) || say_fail "only $aged blocks were erased: no data reclaim"
}

# --- images left by an interrupted run on the handset, then a successful write

written_after() {
  fixture "$1"
  pc_text n.txt "after $1"
  brovald run.log image.s3 /docs/new.txt n.txt
  expect_exit 0
  expect_ffs_file /docs/new.txt n.txt
  [[ $(inspect print /docs/a.txt) == "old text" ]] || say_fail "an old file was lost"
  expect_consistent
}

scenario_interrupted_cleaning() { written_after cleaning; }
scenario_interrupted_table_move() { written_after table-move; }
scenario_interrupted_copying_beside_inodes() { written_after copying-beside-inodes; }
scenario_interrupted_journal_complete() {
  written_after journal-complete
  inspect list | grep -qxF "d rw 0xF2        0  /new" || say_fail "the complete record was not applied"
}
scenario_interrupted_journal_written() { written_after journal-written; }
scenario_interrupted_erased_header() { written_after erased-header; }
scenario_interrupted_directory_move() { written_after directory-move; }

# --- killed in the middle of a run

# SIGKILL at random instants of a run that writes 100 files into a 4 MiB image, the write-back
# included: the image file is byte for byte the old one or the complete new one, and the next run
# succeeds although a working copy left by a killed run holds the name it draws (every name is
# taken by one). KIT_KILL_ROUNDS (16) and KIT_KILL_SEED choose the kills; the seed is printed;
# KIT_KILL_TRACE=1 prints each kill's instant, outcome and the last line of the killed run's log.
scenario_killed_at_random_instants() {
  mkimage
  local pairs=() i
  for ((i = 0; i < 100; ++i)); do
    pc_file "f$i.bin" $((1024 + (i * 7919) % 50000))
    pairs+=("/k/folder$((i % 10))/file$i.bin" "f$i.bin")
  done
  cp "$work/pc/image.s3" "$work/old.s3"
  mkdir "$work/stale"
  (cd "$work/stale" && touch flashTmp_{0..999}.tmp && truncate -s 44040192 flashTmp_*.tmp)
  # The run as the kills start it, uninterrupted: the new image and how long a run lasts.
  local started pid
  started=$(date +%s%N)
  (cd "$work/pc" && exec "$linux_brovald" run.log image.s3 "${pairs[@]}") >"$work/stdout" 2>&1 &
  pid=$!
  wait "$pid"
  exit_status=$?
  local span=$((($(date +%s%N) - started) / 1000000))
  expect_exit 0
  cp "$work/pc/image.s3" "$work/new.s3"
  local seed=${KIT_KILL_SEED:-$((RANDOM * 32768 + RANDOM))} rounds=${KIT_KILL_ROUNDS:-16}
  local old=0 new=0 stale=0 round delay
  RANDOM=$seed
  for ((round = 0; round < rounds; ++round)); do
    cp "$work/old.s3" "$work/pc/image.s3"
    delay=$(((RANDOM * 32768 + RANDOM) % (span + 1)))
    (cd "$work/pc" && exec "$linux_brovald" run.log image.s3 "${pairs[@]}") >/dev/null 2>&1 &
    pid=$!
    sleep "$((delay / 1000)).$(printf '%03d' $((delay % 1000)))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    [[ -n ${KIT_KILL_TRACE:-} ]] && echo "    $delay ms: $(cmp -s "$work/pc/image.s3" "$work/old.s3" && echo old || echo new)" \
      "$(tail -n 1 "$work/pc/run.log" 2>/dev/null)"
    if cmp -s "$work/pc/image.s3" "$work/old.s3"; then
      old=$((old + 1))
    elif cmp -s "$work/pc/image.s3" "$work/new.s3"; then
      new=$((new + 1))
    else
      say_fail "seed $seed, killed after $delay ms: the image is neither the old one nor the new one"
      return
    fi
    compgen -G "$work/pc/flashTmp_*.tmp" >/dev/null && stale=$((stale + 1))
    cp -aln "$work/stale/." "$work/pc/"
    (cd "$work/pc" && "$linux_brovald" run.log image.s3 "${pairs[@]}") >"$work/stdout" 2>&1
    exit_status=$?
    if [[ $exit_status != 0 ]]; then
      say_fail "seed $seed, killed after $delay ms: the next run ended with $exit_status: $(tail -n 2 "$work/stdout")"
      return
    fi
    expect_consistent
    expect_ffs_file /k/folder9/file99.bin f99.bin
    rm -f "$work"/pc/flashTmp_* "$work"/pc/image.s3.*
  done
  echo "    killed $rounds runs of $span ms (seed $seed): $old left the old image, $new the new one;" \
    "$stale left their working copy"
}
