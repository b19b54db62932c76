smtpmail_fuzz_target(auth LIBS fuzz_peer fuzz_support)
