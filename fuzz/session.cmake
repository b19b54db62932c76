smtpmail_fuzz_target(session LIBS fuzz_peer fuzz_support)
