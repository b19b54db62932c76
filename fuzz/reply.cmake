smtpmail_fuzz_target(reply LIBS fuzz_peer fuzz_support)
