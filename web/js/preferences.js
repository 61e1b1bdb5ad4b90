// The settings page the tray opens: the settings view alone.
import { createSettingsView } from './settings.js';
import { showError, showVersion, startStatusLine } from './shell.js';

const settings = createSettingsView({ onError: showError });
document.getElementById('main').append(settings.element);
settings.load();
startStatusLine(document.getElementById('status'), () => { location.href = 'index.html#accounts'; });
showVersion();
