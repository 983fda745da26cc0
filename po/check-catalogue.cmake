# SPDX-License-Identifier: Apache-2.0
# Fails when the catalogue PO lacks a message of the template POT, holds a
# fuzzy or untranslated one (msgcmp counts neither), one the sources no
# longer have, or an obsolete (#~) entry: a catalogue is either whole and
# current or the build stops. A word of the tables (its template entry
# carries NOTE) translated with a blank would split a column: refused too.
#   cmake -DPO=de.po -DPOT=velmora-account.pot -DMSGCMP=... -DMSGATTRIB=... -DMSGMERGE=...
#         -DMSGGREP=... -DNOTE=... -P check-catalogue.cmake
execute_process(COMMAND ${MSGCMP} ${PO} ${POT} RESULT_VARIABLE missing)
if(missing)
  message(FATAL_ERROR "${PO}: a message of the sources is missing, fuzzy or untranslated "
                      "(msgmerge --update ${PO} velmora-account.pot, then translate)")
endif()
execute_process(COMMAND ${MSGCMP} --use-untranslated --use-fuzzy ${POT} ${PO} RESULT_VARIABLE stale)
if(stale)
  message(FATAL_ERROR "${PO}: holds a message the sources no longer have")
endif()
execute_process(COMMAND ${MSGATTRIB} --only-obsolete ${PO} OUTPUT_VARIABLE obsolete
                RESULT_VARIABLE failed)
if(failed OR NOT obsolete STREQUAL "")
  message(FATAL_ERROR "${PO}: holds obsolete (#~) entries: remove them")
endif()
# The template's comments over the catalogue's translations, the tables'
# words only, those with a blank; the header entry (msgid "") passes.
execute_process(COMMAND ${MSGMERGE} --quiet --no-fuzzy-matching --output-file=- ${PO} ${POT}
                COMMAND ${MSGGREP} --extracted-comment --fixed-strings --regexp=${NOTE}
                COMMAND ${MSGGREP} --msgstr --extended-regexp --regexp=[[:space:]]
                OUTPUT_VARIABLE blank RESULTS_VARIABLE steps)
string(REGEX MATCH "\nmsgid \"[^\"][^\n]*" word "${blank}")
list(GET steps 0 merged)
if(merged OR NOT word STREQUAL "")
  message(FATAL_ERROR "${PO}: a word of the tables must stay one word without blanks: ${word}")
endif()
