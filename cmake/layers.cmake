# Which folder of src/ may use which: the one table of the layers. Each folder builds one library,
# ostrel_<folder>, that links only the folders named here, and check_layers.cmake fails the tests on an
# include the table does not allow. A folder uses only folders listed before it, so no two use each other.
set(OSTREL_FOLDERS ap recording record play capture settings dialogs app cli)
set(OSTREL_USES_ap "")
set(OSTREL_USES_recording ap)
set(OSTREL_USES_record ap recording)
set(OSTREL_USES_play ap recording)
set(OSTREL_USES_capture ap recording play)
set(OSTREL_USES_settings ap)
set(OSTREL_USES_dialogs ap recording record play capture settings)
set(OSTREL_USES_app ap recording record play capture settings dialogs)
set(OSTREL_USES_cli ap recording record play capture settings)
