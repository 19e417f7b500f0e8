# SPDX-License-Identifier: MIT
# Labels of single test cases, beside their program's (tests/CMakeLists.txt
# gives each case both once CTest has read the program's list of cases):
#
#   slow        five seconds or more; the quick gate leaves it out
#   host-only   sees the emulator rather than the daemon under qemu-user
#               (descriptor table, program name, child subreaping, the
#               receive buffer); the cross gate leaves it out
#   no-wrapper  finds the daemon by its program name, which is the
#               wrapper's under one (valgrind); the memcheck gate leaves it out
macro(case_labels test)
  set("case_labels_${test}" ${ARGN})
endmacro()

case_labels(Daemon.SlowDetachedDaemonServesAndExitsWhenIdle slow host-only no-wrapper)
case_labels(Daemon.SlowNoClientHoldsTheLoopOrASlotPastTheDeadline slow)
case_labels(Daemon.SlowStalledClientsCannotHoldTheDaemon slow host-only)
case_labels(Daemon.OddMessagesLeaveNoDescriptorBehind host-only)
case_labels(Daemon.ClientGoneBeforeReplyLeavesDaemonServing host-only)
case_labels(BusFixture.ChildrenEndWithTheProcessThatStartedThem host-only)
case_labels(Counts/FdipcMany.KeepsFirstDescriptorAndClosesTheRest/40 host-only)
case_labels(Front.SlowCutsOffARequestHeadThatNeverEnds slow)
case_labels(Packaging.SocketOutlivesTheIdleExitSlow slow)
case_labels(Methods.SlowConcurrentAppliesLeaveTheCameraInTheStoredScene slow)
