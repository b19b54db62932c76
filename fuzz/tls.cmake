smtpmail_fuzz_target(tls LIBS fuzz_peer fuzz_support)
