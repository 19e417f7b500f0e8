// SPDX-License-Identifier: MIT
// Français. Keys and {placeholders} as in en.js; a no-break space before
// ":" and a narrow one before ";", as French typesetting has them.

export default {
  title: 'Assistant d\'exposition',
  intro: 'Indiquez où se trouve la caméra et à quelle vitesse passent les véhicules. La caméra en déduit le temps ' +
    'd\'obturation max.\u00a0: le temps d\'obturation le plus long qui les laisse nets.',
  language: 'Langue',
  result: 'Résultat',
  scene: 'Scène',
  speedUnit: 'Unité de vitesse',
  roadOffsetSlider: 'Curseur du décalage latéral',
  carDistanceSlider: 'Curseur de la distance au point de prise de vue',
  cameraHeightSlider: 'Curseur de la hauteur de la caméra',
  carSpeedSlider: 'Curseur de la vitesse des véhicules',
  apply: 'Appliquer à la caméra',
  revert: 'Rétablir',
  retry: 'Réessayer',
  applyMine: 'Appliquer quand même mes valeurs',
  takeStored: 'Reprendre la scène enregistrée',
  cameraSettings: 'Réglages de la caméra',
  maxShutter: 'Temps d\'obturation max.',
  maxGain: 'Gain max.',
  wdr: 'Plage dynamique étendue (WDR)',
  irCut: 'Filtre IR',
  iris: 'Diaphragme',
  sceneDiagram: 'Schéma de la scène',
  plotTitle: 'Temps d\'obturation max. selon la vitesse des véhicules',
  record: 'Procès-verbal de mise en service',

  unitM: 'm',
  unitMs: 'm/s',
  unitKmh: 'km/h',
  unitMph: 'mi/h',
  unitUs: 'µs',
  unitMm: 'mm',
  quantity: '{value}\u00a0{unit}',

  roadOffsetLabel: 'Décalage latéral ({unit})',
  carDistanceLabel: 'Distance au point de prise de vue ({unit})',
  cameraHeightLabel: 'Hauteur de la caméra ({unit})',
  carSpeedLabel: 'Vitesse des véhicules ({unit})',
  roadOffsetHint: 'Distance transversale entre la caméra et la trajectoire des véhicules, négative de l\'autre côté\u00a0: ' +
    'les deux côtés donnent le même temps d\'obturation max. ({range}).',
  carDistanceHint: 'Distance le long de la route entre la caméra et l\'endroit où les véhicules sont photographiés ({range}).',
  cameraHeightHint: 'Du toit des véhicules jusqu\'à la caméra, et non depuis la chaussée ({range}).',
  carSpeedHint: '({range})',
  range: 'de {min} à {max}\u00a0{unit}',
  mustBeFrom: 'Valeurs admises\u00a0: {range}.',
  enterNumber: 'Saisissez un nombre.',
  notNumber: 'Saisissez un nombre tel que 12,5 ou 12.5, sans séparateur de milliers.',
  loadingField: 'Chargement…',

  shutter: '{time}, soit environ 1/{fraction}\u00a0s',
  on: 'Activé',
  off: 'Désactivé',
  automatic: 'Automatique',
  irisFixed: 'Fixé en position {position}',
  sight: 'la ligne de visée coupe la route à {angle}°',
  crossSlow: 'les véhicules la traversent à moins de {speed}, vitesse comptée pour {speed}',
  cross: 'les véhicules la traversent à {speed}',
  longestSets: 'Le temps d\'obturation le plus long de la caméra, {limit}, le fixe\u00a0: {sight}, et {cross}.',
  shortestSets: 'Le temps d\'obturation le plus court de la caméra, {limit}, le fixe\u00a0: {sight}, {cross}, et même ' +
    'en {limit} ils se déplacent de {moved}.',
  blurSets: 'Le flou de bougé le fixe\u00a0: {sight}, {cross}, et en {time} ils se déplacent de {moved}.',
  correctToSee: 'Corrigez les valeurs signalées pour voir leurs réglages.',
  earlierSettings: 'Ces réglages correspondent à des valeurs antérieures.',
  workingOut: 'Calcul des réglages…',
  curveFills: 'La courbe se complète dès que les valeurs ne changent plus.',

  summaryShutter: 'Temps d\'obturation max. {shutter}',
  ofPreview: 'aperçu',
  ofStored: 'scène enregistrée',
  ofEarlier: 'valeurs antérieures',
  ofUnavailable: 'indisponible',
  forEarlier: 'pour des valeurs antérieures',
  announced: 'Temps d\'obturation max. {shutter}, {of}.',

  sceneRoadOffset: 'décalage latéral {value}',
  sceneCarDistance: 'distance au point de prise de vue {value}',
  sceneCameraHeight: 'hauteur de la caméra {value}',
  sceneCarSpeed: 'vitesse des véhicules {value}',

  loading: 'Lecture de la scène enregistrée…',
  showing: 'Affichage de la scène enregistrée.',
  previewing: 'Aperçu de valeurs qui ne sont pas encore appliquées.',
  applying: 'Application à la caméra…',
  applied: 'Appliqué à {time}\u00a0: {scene}.',
  busy: 'La caméra est occupée par d\'autres requêtes. Nouvel essai dans {seconds}\u00a0s…',
  stayedBusy: 'La caméra est restée occupée par d\'autres requêtes. Réessayez dans un instant.',
  keepsTrying: 'La page continue d\'essayer.',
  correctFirst: 'Corrigez d\'abord les valeurs signalées. Rien n\'a été envoyé.',
  pageFailed: 'Erreur de la page\u00a0: {reason}',
  staleSettings: 'Les réglages affichés correspondent à des valeurs antérieures.',
  unreadable: 'La réponse de la caméra est illisible.',
  unreadableStatus: 'La réponse de la caméra est illisible (HTTP {status}).',

  storedElsewhere: 'Un autre appareil a enregistré une nouvelle scène, lue à {time}\u00a0: {scene}. La page l\'affiche.',
  storedElsewhereKept: 'Un autre appareil a enregistré une autre scène, lue à {time}\u00a0: {scene}. ' +
    'Vos valeurs ne sont pas appliquées.',
  held: 'Non appliqué\u00a0: un autre appareil a entre-temps enregistré une autre scène, lue à {time}\u00a0: {scene}. ' +
    'Appliquez quand même vos valeurs, ou reprenez la scène enregistrée.',

  code1001: 'La caméra ne connaît pas la version de protocole de cette page. Rechargez la page\u202f; si cela ne ' +
    'suffit pas, la page et le logiciel de la caméra ne correspondent pas.',
  code1002: 'La caméra ne connaît pas cette requête. La page et le logiciel de la caméra ne correspondent pas.',
  code1003: 'La caméra a refusé les valeurs\u00a0: l\'une d\'elles manque ou sort de sa plage.',
  code1004: 'La caméra n\'a pas pu lire la requête envoyée par la page.',
  codeUnknown: 'La caméra a répondu par une erreur que cette page ne connaît pas (code {code}).',
  applyUnknown: 'L\'application a échoué, et la scène enregistrée n\'a pas pu être relue pour savoir si elle a été ' +
    'enregistrée.',
  getFailed: 'La caméra n\'a pas pu lire sa scène enregistrée. Le journal du service d\'exposition en donne la raison.',
  previewFailed: 'La caméra n\'a pas pu calculer de réglages pour cette scène. Le journal du service d\'exposition ' +
    'en donne la raison.',
  storedNotTaken: 'La scène a été enregistrée, mais la caméra n\'a pas pris tous les réglages. Appliquez de nouveau ' +
    'pour réessayer.',
  notTakenRecord: 'La scène a été enregistrée, mais la caméra n\'a pas pris tous les réglages.',
  notStored: 'La scène n\'a pas pu être enregistrée\u202f; rien n\'a été envoyé à la caméra.',
  mayStillApply: 'L\'application peut encore prendre effet\u202f; rechargez la page pour voir la scène enregistrée.',

  noServer: 'Aucune réponse du serveur web de la caméra. Vérifiez qu\'il fonctionne et que cet ordinateur peut ' +
    'l\'atteindre.',
  connectionCut: 'La connexion au serveur web de la caméra s\'est interrompue avant sa réponse, alors que le serveur ' +
    'web répond.',
  noService: 'Le serveur web répond, mais pas le service d\'exposition derrière lui. Vérifiez que le service fonctionne.',
  lateService: 'Le serveur web répond, mais le service d\'exposition derrière lui n\'a pas répondu à temps.',
  lateServiceSaid: 'Le serveur web signale que le service d\'exposition derrière lui n\'a pas répondu à temps. ' +
    'Vérifiez que le service fonctionne.',

  sideView: 'Vue de côté',
  topView: 'Vue de dessus',
  toCapture: '{distance} jusqu\'au point de prise de vue',
  heightCompressed: 'hauteur comprimée',
  heightStretched: 'hauteur étirée',
  offsetCompressed: 'décalage comprimé',
  offsetStretched: 'décalage étiré',
  sideDescription: 'Caméra à {height} au-dessus des véhicules, point de prise de vue à {distance} le long de la route.',
  ahead: '{distance} devant · {speed}',
  offsetBy: 'décalage {offset}',
  topInLine: 'Caméra exactement dans l\'axe de la trajectoire des véhicules\u202f; point de prise de vue à {distance} ' +
    'devant\u202f; les véhicules roulent à {speed} vers la caméra.',
  topBeside: 'Caméra à {offset} sur le côté de la trajectoire des véhicules\u202f; point de prise de vue à {distance} ' +
    'devant\u202f; les véhicules roulent à {speed} vers la caméra.',

  speedAxis: 'vitesse des véhicules ({unit})',
  shutterAxis: 'temps d\'obturation max. ({unit})',
  curveFrom: 'De {slowTime} à {slow} jusqu\'à {fastTime} à {fast}.',
  curveComputing: 'La courbe est en cours de calcul.',
  timeAt: '{time} à {speed}',
  currentSpeed: 'Vitesse actuelle {speed}\u00a0: {time}.',

  recordCamera: 'Caméra',
  recordPrinted: 'Imprimé le',
  recordRead: 'Scène enregistrée lue le',
  recordRoadOffset: 'Décalage latéral',
  recordCarDistance: 'Distance au point de prise de vue',
  recordCameraHeight: 'Hauteur de la caméra',
  recordCarSpeed: 'Vitesse des véhicules',
  recordWhy: 'Justification',
  recordWarning: 'Avertissement',
  speedInBoth: '{speed} ({si})',
};
