smtpmail_fuzz_target(conversion LIBS vxutil)
