# Runs inside the SVM virtual machine (scripts/svm-vm): every test with a
# native side, on the KVM engine, against the same tables as the emulator.
#   sh check.sh ZYLOS_RUN PROBE TEST_EXECUTABLE...
run=$1 probe=$2
shift 2
# The tests skip their native side where KVM refuses a VM; here that is a fault.
"$run" --native "$probe" exit 7
[ $? = 7 ] || { echo "check: the KVM engine cannot run a guest here"; exit 1; }
failed=0
for tests in "$@"; do
    "$tests" --gtest_brief=1 \
        --gtest_filter='*native*:Native.*:HostileGuests.WildJumps*:HostileGuests.EmptyReads*:HostileGuests.EveryEngine*:Debug.AFault*:*ElfFiles.*' ||
        failed=1
done
exit $failed
